// Builders for the hand-written widget forms of the plug-in's windows.
#pragma once

#include <QBoxLayout>
#include <QString>
#include <QWidget>

// Creates a widget of w's type with the parent and the object name, stores
// it in w and appends it to the layout.
template <typename W>
void addNamedWidget(W*& w, QWidget* parent, const char* name, QBoxLayout* layout) {
  w = new W(parent);
  w->setObjectName(QString::fromLatin1(name));
  layout->addWidget(w);
}

// Creates a box layout of l's type with the object name and the spacing. With
// an owner it becomes the owner's layout, with the margin on all four sides;
// without one the caller adds it to another layout.
template <typename L>
void newNamedLayout(L*& l, const char* name, int spacing, QWidget* owner = nullptr,
                    int margin = 0) {
  l = owner != nullptr ? new L(owner) : new L();
  l->setObjectName(QString::fromLatin1(name));
  l->setSpacing(spacing);
  if (owner != nullptr) l->setContentsMargins(margin, margin, margin, margin);
}

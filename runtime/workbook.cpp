#include "workbook.h"

Workbook::Workbook(const QString& path, bool open) : path_(path), open_(open) {}

Workbook::~Workbook() = default;

bool Workbook::isOpen() const { return open_; }

bool Workbook::save() { return open_; }

void Workbook::close() { open_ = false; }

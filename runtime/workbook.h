// A minimal workbook document held by excel values. It knows its file path
// and whether it is open; saving writes nothing yet. The Excel library
// replaces or extends it with a real document.
#pragma once

#include <QString>

class Workbook {
 public:
  explicit Workbook(const QString& path = QString(), bool open = true);
  virtual ~Workbook();

  Workbook(const Workbook&) = delete;
  Workbook& operator=(const Workbook&) = delete;

  virtual bool isOpen() const;
  // Writes the document back to its path; false when it is not open.
  virtual bool save();
  // Closes without saving.
  virtual void close();
  const QString& path() const { return path_; }

 protected:
  QString path_;
  bool open_;
};

// The document held by excel values: an .xlsx workbook of the xlsx layer.
// Declaring an excel variable makes one that is neither created nor opened;
// the Excel library creates or opens its file. The release of the last
// holder saves an open document (unless the run failed) and closes it.
#pragma once

#include "xlsx.h"

class Workbook {
 public:
  Workbook();
  virtual ~Workbook();

  Workbook(const Workbook&) = delete;
  Workbook& operator=(const Workbook&) = delete;

  virtual bool isOpen() const;
  // Writes the document back to its file; false when it is not open or the
  // save failed (the failure is reported on the standard error stream and
  // counts as an error of the run).
  virtual bool save();
  // Closes without saving.
  virtual void close();
  xlsx::Document& document() { return doc_; }

 private:
  xlsx::Document doc_;
};

#include "workbook.h"

#include "run_state.h"

#include <iostream>

Workbook::Workbook() = default;

Workbook::~Workbook() = default;

bool Workbook::isOpen() const { return doc_.isOpen(); }

bool Workbook::save() {
  if (!doc_.isOpen()) return false;
  try {
    doc_.save();
    return true;
  } catch (const std::exception& e) {
    std::cerr << "错误：Excel 文件 " << doc_.path() << " 保存失败：" << e.what() << std::endl;
    noteLostData();  // the run's exit status says so
    return false;
  }
}

void Workbook::close() { doc_.close(); }

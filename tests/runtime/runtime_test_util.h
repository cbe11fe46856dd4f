// Helpers for the run-time tests: a fixture that creates the run's tables
// and tears everything down afterwards, std::cout capture and cell makers.
#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "run_state.h"
#include "scope.h"
#include "value.h"
#include "value_compare.h"
#include "value_dict.h"
#include "value_ops.h"

namespace kortest {

class RunTables : public ::testing::Test {
 protected:
  void SetUp() override {
    runFailed = false;
    countedAtStart_ = countedSharedPayloads();
    createGlobalTable();
    createTypeRegistry();
    createOperandStack();
  }
  void TearDown() override {
    destroyScopeStack();
    destroyOperandStack();
    destroyStatusStack();
    destroyGlobalTable();
    destroyFunctionTable();
    destroyTypeRegistry();
    runFailed = false;
    sourceText.clear();
  }
  // Every list, dict, file and workbook counted during the test was released.
  bool sharedAllReleased() const { return countedSharedPayloads() == countedAtStart_; }

 private:
  int64_t countedAtStart_ = 0;
};

// Redirects std::cout into a string for its lifetime.
class CoutCapture {
 public:
  CoutCapture() : old_(std::cout.rdbuf(buf_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(old_); }
  std::string text() const { return buf_.str(); }

 private:
  std::ostringstream buf_;
  std::streambuf* old_;
};

inline ExprValue bytes(const char* s) { return makeBytesValue(QByteArray(s)); }

// Pooled element cells for building containers.
inline ExprValue* pooled(const ExprValue& v) { return copyCellToPool(v); }

inline ExprValue listOf(std::initializer_list<ExprValue> items) {
  ExprValue l = makeListValue();
  for (const ExprValue& v : items) l.payload.list->push_back(pooled(v));
  return l;
}

// Inserts key -> value into a dict cell (both taken over by the dict).
inline void dictPut(ExprValue& dict, const ExprValue& key, const ExprValue& value) {
  auto r = dictEmplace(dict.payload.dict, key);
  ASSERT_TRUE(r.second);
  r.first->value = pooled(value);
}

inline std::string text(const ExprValue& v) { return valueToText(v).toStdString(); }

}  // namespace kortest

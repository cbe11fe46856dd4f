// What a visit returns. With this ANTLR runtime a visit returns an
// antlrcpp::Any; the evaluator keeps its contents trivially copyable (an
// ExprValue, or the int 0 for no value), since an Any silently loses
// contents whose copy may throw.
#pragma once

#include <any>

#include "antlr4-runtime.h"

using VisitResult = antlrcpp::Any;

// The content of a visit result as T; a result of another kind throws
// std::bad_any_cast, so that a failed cast is reported like one of std::any.
template <class T>
T& visitResultAs(VisitResult& result) {
  if (!result.is<T>()) throw std::bad_any_cast();
  return result.as<T>();
}

template <class T>
T visitResultAs(VisitResult&& result) {
  if (!result.is<T>()) throw std::bad_any_cast();
  return result.as<T>();
}

template <class T>
bool visitResultIs(const VisitResult& result) {
  return result.is<T>();
}

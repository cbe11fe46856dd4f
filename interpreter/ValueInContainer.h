// Membership test behind `in` and `not in`.
#pragma once

struct ExprValue;

// Sets the boolean byte of `result` when `needle` occurs in `container`:
// an element of a list (compared with compareValues), a key of a dict, a
// byte, character or substring of a byte string or string, or a member name
// of a struct's type (needle a byte string). Leaves `result` untouched
// otherwise; callers start it at false.
void valueInContainer(const ExprValue& needle, const ExprValue& container, ExprValue& result);

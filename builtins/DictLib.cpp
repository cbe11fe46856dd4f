// The dict library: methods of zd values (clear, size, emptiness, key test,
// removal, key list, value lookup and copy).
//
// The lookup methods take int, long or zfc keys; an int and a long of equal
// value are the same key. Walks follow the dict's node list.
#include "BuiltinRegistry.h"
#include "TextLibCommon.h"

#include "runtime/errors.h"
#include "runtime/source_text.h"
#include "runtime/value_compare.h"
#include "runtime/value_dict.h"
#include "runtime/value_ops.h"

#include "ParserRuleContext.h"

void dictLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx);

namespace {

enum DictMethodId : uint16_t {
  ZD_CLEAR = 180,
  ZD_SIZE = 181,
  ZD_IS_EMPTY = 182,
  ZD_CONTAINS = 183,
  ZD_REMOVE = 184,
  ZD_KEYS = 185,
  ZD_VALUE = 186,
  ZD_COPY = 187
};

bool lookupKeyType(int32_t type) { return type == VT_INT || type == VT_LONG || type == VT_BYTES; }

// The node stored under the key argument, or null. Only int, long and zfc
// keys are looked up; a zfc argument without a payload is the empty byte
// string.
inline ValueDict::Node* findKey(ValueDict* dict, const ExprValue& key) {
  if (!lookupKeyType(key.type)) return nullptr;
  if (key.type == VT_BYTES && key.payload.bytes == nullptr) {
    QByteArray empty("");
    ExprValue k = key;
    k.payload.bytes = &empty;
    return dict->find(k);
  }
  return dict->find(key);
}

void removeKey(ValueDict* dict, const ExprValue& key) {
  ValueDict::Node* node = findKey(dict, key);
  if (node == nullptr) {
    pushBuiltinResult(makeBoolValue(false));
    return;
  }
  ExprValue storedKey;
  ExprValue* value = nullptr;
  dict->erase(node, &storedKey, &value);
  if (value != nullptr) {
    freeValue(*value);
    returnValueCell(value);
  }
  freeValue(storedKey);
  pushBuiltinResult(makeBoolValue(true));
}

void keyList(ValueDict* dict) {
  ExprValue result = makeListValue();
  ValueList* l = result.payload.list;
  l->reserve(dict->size());
  for (ValueDict::Node* n = dict->first(); n != nullptr; n = n->next) {
    ExprValue* k = copyValueToPool(n->key, false);
    k->owner = nullptr;
    l->push_back(k);
  }
  pushBuiltinResult(result);
}

// What value() hands out for a stored value: numbers and characters are
// their own copy.
inline ExprValue storedValueCopy(const ExprValue& value) {
  return uint32_t(value.type) <= uint32_t(VT_WCHAR) ? value : copyValue(value, false);
}

inline void valueOf(ValueDict* dict, antlr4::ParserRuleContext* ctx) {
  const ExprValue& key = *builtinArg(0);
  ValueDict::Node* node = findKey(dict, key);
  if (node == nullptr || node->value == nullptr) {
    const ExprValue* recv = builtinReceiver();
    QString dictName = recv->owner != nullptr ? QString::fromUtf8(*recv->owner) : QString();
    raiseScriptError(QStringLiteral("错误：行号 %1 语句 %2 字典 %3 不存在key 值 %4 。")
                         .arg(lineOfContext(ctx))
                         .arg(textlib::statementOf(ctx), dictName, valueToText(key)));
  }
  pushBuiltinResult(storedValueCopy(*node->value));
}

// The receiver's dict; null, with an empty result handed back, for a dict
// value without storage.
inline ValueDict* receiverDict() {
  ExprValue* recv = builtinReceiver();
  ValueDict* dict = recv->type == VT_DICT ? recv->payload.dict : nullptr;
  if (dict == nullptr) pushBuiltinResult(ExprValue());
  return dict;
}

inline void sizeOf(ValueDict* dict, antlr4::ParserRuleContext*) {
  pushBuiltinResult(makeIntValue(int32_t(dict->size())));
}

inline void containsKey(ValueDict* dict, antlr4::ParserRuleContext*) {
  pushBuiltinResult(makeBoolValue(findKey(dict, *builtinArg(0)) != nullptr));
}

// The handler of one method, called without the library's switch.
template <void (*Method)(ValueDict*, antlr4::ParserRuleContext*)>
void dictMethod(BuiltinMethod*, antlr4::ParserRuleContext* ctx) {
  if (ValueDict* dict = receiverDict()) Method(dict, ctx);
}

// ---- direct forms (see BuiltinDirect): the handlers' plain cases --------

inline ValueDict* directDict(const ExprValue& recv) {
  return recv.type == VT_DICT ? recv.payload.dict : nullptr;
}

int dictSizeDirect(const ExprValue& recv, ExprValue*, int argc, ExprValue* out) {
  const ValueDict* dict = directDict(recv);
  if (dict == nullptr || argc != 0) return -1;
  *out = makeIntValue(int32_t(dict->size()));
  return 1;
}

int dictContainsDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out) {
  ValueDict* dict = directDict(recv);
  if (dict == nullptr || argc != 1) return -1;
  *out = makeBoolValue(findKey(dict, args[0]) != nullptr);
  return 1;
}

int dictValueDirect(const ExprValue& recv, ExprValue* args, int argc, ExprValue* out) {
  ValueDict* dict = directDict(recv);
  if (dict == nullptr || argc != 1) return -1;
  const ValueDict::Node* node = findKey(dict, args[0]);
  if (node == nullptr || node->value == nullptr) return -1;
  *out = storedValueCopy(*node->value);
  return 1;
}

}  // namespace

void registerDictLib() {
  if (BuiltinLibFlags[LIB_DICT]) return;
  BuiltinLibFlags[LIB_DICT] = 1;
  currentBuiltinHandler = dictLibCall;
  currentBuiltinReceiver = VT_DICT;
  registerBuiltinMethod(ZD_CLEAR, "zd_clear", {}, BF_MEMBER);
  BuiltinMethod* size = registerBuiltinMethod(ZD_SIZE, "zd_size", {}, BF_MEMBER);
  size->handler = dictMethod<sizeOf>;
  size->direct = dictSizeDirect;
  registerBuiltinMethod(ZD_IS_EMPTY, "zd_isEmpty", {}, BF_MEMBER);
  BuiltinMethod* contains = registerBuiltinMethod(ZD_CONTAINS, "zd_contains", {1, 1, BA_RANGE}, BF_MEMBER);
  contains->readsArgsOnly = true;
  contains->handler = dictMethod<containsKey>;
  contains->direct = dictContainsDirect;
  registerBuiltinMethod(ZD_REMOVE, "zd_remove", {1, 1, BA_RANGE}, BF_MEMBER);
  registerBuiltinMethod(ZD_KEYS, "zd_keys", {}, BF_MEMBER);
  BuiltinMethod* value = registerBuiltinMethod(ZD_VALUE, "zd_value", {1, 1, BA_RANGE}, BF_MEMBER);
  value->readsArgsOnly = true;
  value->handler = dictMethod<valueOf>;
  value->direct = dictValueDirect;
  registerBuiltinMethod(ZD_COPY, "zd_copy", {}, BF_MEMBER);
}

// The methods without a handler of their own (and, the same, those with one).
void dictLibCall(BuiltinMethod* method, antlr4::ParserRuleContext* ctx) {
  ValueDict* dict = receiverDict();
  if (dict == nullptr) return;
  ExprValue* recv = builtinReceiver();
  switch (method->id) {
    case ZD_CLEAR:
      clearDictValue(*recv);
      break;
    case ZD_SIZE:
      sizeOf(dict, ctx);
      break;
    case ZD_IS_EMPTY:
      pushBuiltinResult(makeBoolValue(dict->empty()));
      break;
    case ZD_CONTAINS:
      containsKey(dict, ctx);
      break;
    case ZD_REMOVE:
      removeKey(dict, *builtinArg(0));
      break;
    case ZD_KEYS:
      keyList(dict);
      break;
    case ZD_VALUE:
      valueOf(dict, ctx);
      break;
    case ZD_COPY:
      pushBuiltinResult(copyValue(*recv, true));
      break;
    default:
      pushBuiltinResult(ExprValue());
      break;
  }
}

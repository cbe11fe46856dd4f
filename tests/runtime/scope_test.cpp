// Scope stack lookups and pops, frame queries, status stack, name tables and
// the call-stack dump.
#include "runtime_test_util.h"

#include <stdexcept>

#include "console.h"

using namespace kortest;

namespace {

class Scopes : public RunTables {
 protected:
  ScopeRecord* frame(const char* name, int32_t mode = 0, int32_t line = 0) {
    ScopeRecord* r = pushScopeRecord(SK_FUNCTION);
    r->name = name;
    r->setFrame(mode, line);
    return r;
  }
  ScopeRecord* marker(int32_t kind) {
    ScopeRecord* r = pushScopeRecord(kind);
    r->name = "";
    return r;
  }
  ScopeRecord* var(const char* name, const ExprValue& v) {
    ScopeRecord* r = pushScopeRecord(v.type);
    r->name = name;
    r->payload = v.payload;
    return r;
  }
  ScopeRecord* global(const char* name, const ExprValue& v) {
    ScopeRecord* r = takeScopeRecord();
    r->name = name;
    r->kind = v.type;
    r->payload = v.payload;
    addGlobal(name, r);
    return r;
  }
  static std::string thrownBy(const std::function<void()>& f) {
    try {
      f();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "<nothing thrown>";
  }
};

}  // namespace

TEST_F(Scopes, LookupsStopAtFunctionFrames) {
  global("g", makeIntValue(1));
  frame("hs_rukou");
  var("x", makeIntValue(2));
  marker(SK_BLOCK);
  frame("f");
  var("y", makeIntValue(3));
  EXPECT_EQ(lookupVariable("x", fnv1a(QByteArray("x"))), nullptr);  // caller's local hidden
  ASSERT_NE(findVariable("g", nullptr), nullptr);                      // global from anywhere
  EXPECT_EQ(findVariable("y", nullptr)->payload.i32, 3);
  const std::string msg = thrownBy([] { findVariable("x", nullptr); });
  EXPECT_EQ(msg, "错误：行号 -1 找不到变量 x，语句  变量没有定义或者不在当前可见作用域！");
}

TEST_F(Scopes, InnerVariableShadowsOuterAndRenamedPoolRecordsAreFound) {
  frame("f");
  var("a", makeIntValue(1));
  marker(SK_BLOCK);
  ScopeRecord* inner = var("a", makeIntValue(2));
  EXPECT_EQ(findVariable("a", nullptr), inner);
  popBlockScope();
  EXPECT_EQ(findVariable("a", nullptr)->payload.i32, 1);
  // a reused record carries its old name until renamed; lookups see the new one
  ASSERT_EQ(scopeRecordPoolSize(), 2u);  // the inner a and the block marker
  ScopeRecord* r = var("b", makeIntValue(5));
  EXPECT_TRUE(r == inner || scopeRecordPoolSize() == 1u);
  EXPECT_EQ(findVariable("b", nullptr), r);
  EXPECT_EQ(lookupVariable("a", fnv1a(QByteArray("a")))->payload.i32, 1);
}

TEST_F(Scopes, CurrentBlockCheckSeesCallersInnermostBlock) {
  frame("hs_rukou");
  marker(SK_BLOCK);
  var("a", makeIntValue(1));
  frame("f");  // function body top level: no block marker of its own
  EXPECT_TRUE(findInCurrentBlock("a"));
  marker(SK_BLOCK);
  EXPECT_FALSE(findInCurrentBlock("a"));
  var("b", makeIntValue(1));
  marker(SK_LOOP);
  EXPECT_TRUE(findInCurrentBlock("b"));  // loop markers are passed over
}

TEST_F(Scopes, PopsByKind) {
  frame("f");
  ScopeRecord* block = marker(SK_BLOCK);
  ExprValue list = listOf({bytes("x")});
  var("a", copyValue(list, false));
  ScopeRecord* loop = marker(SK_LOOP);
  var("b", bytes("y"));
  EXPECT_EQ(sharedRefCount(list.payload.list), 2);
  EXPECT_TRUE(popBlockScope());
  // the loop marker above the block marker stays; the variables are released
  ASSERT_EQ(scopeStack()->size(), 2u);
  EXPECT_EQ(scopeStack()->back(), loop);
  EXPECT_EQ(sharedRefCount(list.payload.list), 1);
  (void)block;
  EXPECT_EQ(thrownBy([] { popBlockScope(); }), "作用域错误");
  EXPECT_EQ(thrownBy([] { popFunctionScope(); }), "函数作用域错误");
  var("c", makeIntValue(1));
  EXPECT_TRUE(popLoopScope());
  EXPECT_EQ(thrownBy([] { popLoopScope(); }), "循环语句作用域错误");
  EXPECT_TRUE(popFunctionScope());
  EXPECT_TRUE(scopeStack()->empty());
  EXPECT_EQ(thrownBy([] { popFunctionScope(); }), "函数作用域错误");
  freeValue(list);
}

TEST_F(Scopes, RemoveRecordByIdentity) {
  frame("f");
  ScopeRecord* a = var("a", bytes("x"));
  var("b", makeIntValue(1));
  const size_t pool = scopeRecordPoolSize();
  removeScopeRecord(a);
  EXPECT_EQ(scopeStack()->size(), 2u);
  EXPECT_EQ(scopeRecordPoolSize(), pool + 1);
  ScopeRecord stranger;
  removeScopeRecord(&stranger);  // not on the stack: nothing happens
  EXPECT_EQ(scopeStack()->size(), 2u);
}

TEST_F(Scopes, InsideLoopIsBoundedByFrames) {
  EXPECT_FALSE(insideLoop());
  frame("hs_rukou");
  marker(SK_LOOP);
  marker(SK_BLOCK);
  EXPECT_TRUE(insideLoop());
  frame("f");  // called from the loop body
  EXPECT_FALSE(insideLoop());
}

TEST_F(Scopes, FrameQueries) {
  EXPECT_EQ(currentFunctionName(), QByteArray());  // no scope stack yet
  EXPECT_EQ(currentReturnValue(), nullptr);
  EXPECT_EQ(currentFunctionLine(0), 0);
  marker(SK_BLOCK);
  EXPECT_EQ(thrownBy([] { currentFunctionName(); }), "无法获取当前函数名，函数调用关系链紊乱");
  EXPECT_EQ(thrownBy([] { setReturnValue(nullptr); }), "无法设置函数返回值，函数调用关系链紊乱");
  EXPECT_EQ(thrownBy([] { frameIsCallMode104(); }), "函数调用关系链紊乱");

  FunctionRecord* entry = registerFunction("hs_rukou", "{}", {}, {"zs"});
  entry->startLine = 5;
  entry->secondLine = 6;
  frame("hs_rukou", kCallModeTakesReturn, 1);
  frame("cmain");  // wrapper frame, not registered: passed over
  EXPECT_EQ(currentFunctionLine(0), 5);
  EXPECT_EQ(currentFunctionLine(1), 6);
  EXPECT_EQ(currentFunctionQName(), QStringLiteral("cmain"));
  EXPECT_FALSE(frameIsCallMode104());
  EXPECT_EQ(thrownBy([] { currentFunctionReturnTypes(nullptr); }), "函数调用关系链紊乱");
  popFunctionScope();
  QByteArray name;
  ByteStringList* rets = currentFunctionReturnTypes(&name);
  EXPECT_EQ(name, QByteArray("hs_rukou"));
  ASSERT_NE(rets, nullptr);
  EXPECT_EQ(*rets, ByteStringList{"zs"});
  EXPECT_TRUE(frameIsCallMode104());
  EXPECT_EQ(scopeStack()->back()->callLine(), 1);

  auto* list = new ReturnList{takeScopeRecord()};
  list->front()->kind = VT_BYTES;
  list->front()->payload.bytes = newByteString("left behind");
  setReturnValue(list);
  EXPECT_EQ(currentReturnValue(), list);
  // destroyScopeStack frees a return list nobody took (checked by the sanitizer build)
}

TEST_F(Scopes, StatusStack) {
  EXPECT_EQ(statusTop(), -1);
  EXPECT_EQ(lastStatusEntry().code, -1);
  EXPECT_EQ(lastStatusEntry().detail, -1);
  pushStatus(LS_RUN_START);
  EXPECT_EQ(statusTop(), 0);
  pushStatusEntry(StatusEntry{LS_DEF_GLOBAL, VT_LIST});
  EXPECT_EQ(lastStatusEntry().code, 2);
  EXPECT_EQ(lastStatusEntry().detail, 11);
  frame("f");
  popStatus();
  EXPECT_EQ(statusTop(), 0);
  EXPECT_EQ(lastStatusEntry().detail, -1);
  popStatus();
  EXPECT_EQ(statusTop(), -1);
  popStatus();  // an extra pop does no harm
  EXPECT_EQ(statusTop(), -1);
}

TEST_F(Scopes, NameTables) {
  EXPECT_EQ(findFunction("global"), nullptr);
  FunctionRecord* g = registerFunction("global", "", {}, {});
  EXPECT_EQ(g->parameters, nullptr);
  EXPECT_EQ(g->returnTypes, nullptr);
  EXPECT_EQ(findFunction("quanju_dingyi"), g);
  EXPECT_EQ(findFunction("hs_rukou"), nullptr);
  FunctionRecord* f = registerFunction("f", "text", {"a", "zs"}, {});
  ASSERT_NE(f->parameters, nullptr);
  EXPECT_EQ(f->parameters->size(), 2);
  EXPECT_EQ(f->text, QByteArray("text"));
  EXPECT_EQ(typeRegistryCode("RegMatchIter"), 29);
  EXPECT_EQ(typeRegistryCode("XLWorksheet"), 24);
  EXPECT_EQ(typeRegistryCode("Point"), 0);
  EXPECT_FALSE(hasGlobal("g"));
  global("g", makeIntValue(1));
  EXPECT_TRUE(hasGlobal("g"));
  EXPECT_EQ(findGlobal("g", nullptr, true)->payload.i32, 1);
  EXPECT_EQ(findGlobal("nope", nullptr, true), nullptr);  // no context: no error
  EXPECT_NE(operandStack(), nullptr);
}

TEST_F(Scopes, CallStackDumpListsInnerCallFirst) {
  sourceText = "hanshu f() {\n  dy(1/0);\n}\nhanshu hs_rukou() {\n    f();\n}\n";
  FunctionRecord* f = registerFunction("f", "", {}, {});
  f->startLine = 1;
  f->definitionText = "hanshu f()";
  FunctionRecord* entry = registerFunction("hs_rukou", "", {}, {});
  entry->startLine = 4;
  entry->definitionText = "hanshu hs_rukou()";
  frame("hs_rukou", 0, 0);
  frame("f", 0, 5);
  CoutCapture out;
  dumpCallStack();
  EXPECT_EQ(out.text(),
            "\n>>>> 调用堆栈如下 : \n\n"
            "行号5 hanshu hs_rukou() 执行语句 f();\n\n"
            "行号4 函数入口点 执行语句 hanshu hs_rukou() { \n");
}

TEST_F(Scopes, CallStackDumpOfCallsThroughFunctionValues) {
  sourceText = "l1\nl2\nl3\n";
  FunctionRecord* entry = registerFunction("main", "", {}, {});
  entry->startLine = 1;
  entry->definitionText = "hanshu main()";
  FunctionRecord* cb = registerFunction("cb", "", {}, {});
  cb->startLine = 3;
  cb->definitionText = "hanshu cb()";
  frame("main");
  ScopeRecord* call = pushScopeRecord(SK_CALL_VALUE);
  call->name = "2@h";
  call->payload.fn = new FunctionName{"cb"};
  frame("cb", 0, 2);
  ScopeRecord* note = pushScopeRecord(SK_DUMP_TEXT);
  note->name = "";
  note->payload.text = new QString(QStringLiteral("打开文件"));
  CoutCapture out;
  dumpCallStack();
  EXPECT_EQ(out.text(),
            "\n>>>> 调用堆栈如下 : \n\n"
            "打开文件\n\n"
            "行号3 hanshu cb() 执行语句 l3\n\n"
            "行号2 hanshu main() 调用函数 h 执行函数方式 cb (行3) \n\n"
            "行号1 函数入口点 执行语句 l1 \n");
}

TEST_F(Scopes, DestroyFreesPools) {
  frame("f");
  var("s", bytes("x"));
  returnValueCell(takeValueCell());
  returnScopeRecord(takeScopeRecord());
  EXPECT_GT(valuePoolSize(), 0u);
  EXPECT_GT(scopeRecordPoolSize(), 0u);
  destroyScopeStack();
  EXPECT_FALSE(scopeStackExists());
  destroyFunctionTable();
  EXPECT_EQ(valuePoolSize(), 0u);
  EXPECT_EQ(scopeRecordPoolSize(), 0u);
  EXPECT_EQ(functionTable(), nullptr);
}

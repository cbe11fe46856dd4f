// Method registry: resolution by receiver type and the argument checks of
// every argument-list form, with their messages.
#include <gtest/gtest.h>

#include <stdexcept>

#include "KorLexer.h"
#include "KorParser.h"
#include "builtins/BuiltinRegistry.h"
#include "runtime/scope.h"
#include "runtime/value_ops.h"

namespace {

int lastHandled = 0;
void testHandler(BuiltinMethod* m, antlr4::ParserRuleContext*) { lastHandled = m->id; }

// A parsed statement to serve as the call context ("x.m(1);" on line 3).
struct CallContext {
  antlr4::ANTLRInputStream input{"\n\nx.m(1);"};
  KorLexer lexer{&input};
  antlr4::CommonTokenStream tokens{&lexer};
  KorParser parser{&tokens};
  antlr4::ParserRuleContext* ctx = parser.statement();
};

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBuiltinLibFlags();
    createOperandStack();
    initBuiltinRegistry();
    currentBuiltinHandler = testHandler;
    currentBuiltinReceiver = VT_LIST;
    registerBuiltinMethod(9001, "exact", {VT_LONG, VT_BYTES}, BF_MEMBER);
    registerBuiltinMethod(9002, "range", {1, 2, BA_RANGE}, BF_MEMBER);
    registerBuiltinMethod(9003, "optional", {VT_BYTES, -1, BA_OPTIONAL_LAST}, BF_MEMBER);
    registerBuiltinMethod(9004, "none", {}, BF_MEMBER);
    registerBuiltinMethod(9005, "onType", {}, BF_STATIC);
  }
  void TearDown() override {
    clearOperands();
    destroyBuiltinRegistry();
    destroyOperandStack();
    destroyFunctionTable();
  }
  void clearOperands() {
    for (ExprValue& c : args) freeValue(c);
    args.clear();
    freeValue(receiver);
    frame.releaseResults();
  }
  // Gathers the arguments, a list receiver and the method name as the current call.
  void call(std::initializer_list<ExprValue> values, const char* name) {
    clearOperands();
    args.assign(values.begin(), values.end());
    receiver = makeListValue();
    callName = name;
    frame.args = args.data();
    frame.argc = int(args.size());
    frame.receiver = &receiver;
    frame.name = &callName;
  }
  std::string check(const char* name) {
    BuiltinMethod* m = builtinRegistry()->at(name);
    try {
      checkBuiltinArgs(cc.ctx, name, m);
    } catch (std::runtime_error& e) {
      return e.what();
    }
    return "";
  }
  CallContext cc;
  std::vector<ExprValue> args;
  ExprValue receiver;
  QByteArray callName;
  BuiltinCall frame;
  BuiltinCallScope current{&frame};
};

TEST_F(Registry, ExactFormChecksCountAndConvertsInPlace) {
  call({makeIntValue(7), makeBytesValue("a")}, "exact");
  EXPECT_EQ(check("exact"), "");
  EXPECT_EQ(args[0].type, VT_LONG);  // zs widened to czs in place
  EXPECT_EQ(args[0].payload.i64, 7);

  call({makeIntValue(7), makeDoubleValue(1.5)}, "exact");
  EXPECT_EQ(check("exact"),
            "错误：行号 3 语句 x.m(1); 调用函数 exact 第 2 个参数无法匹配，第 2 个参数需要是字符串类型, "
            "给定参数是小数类型！");

  call({makeIntValue(7)}, "exact");
  EXPECT_EQ(check("exact"), "错误：行号 3 语句 x.m(1); 调用函数 exact 参数个数无法匹配");
}

TEST_F(Registry, RangeFormAcceptsAnyTypesWithinTheCount) {
  call({makeDoubleValue(1.5)}, "range");
  EXPECT_EQ(check("range"), "");
  call({makeBoolValue(true), makeListValue()}, "range");
  EXPECT_EQ(check("range"), "");
  call({}, "range");
  EXPECT_EQ(check("range"),
            "错误：行号 3 语句 x.m(1); 调用函数 range 参数个数错误，没有可以匹配该调用形式的参数个数！");
  call({makeIntValue(1), makeIntValue(2), makeIntValue(3)}, "range");
  EXPECT_NE(check("range"), "");
}

TEST_F(Registry, OptionalLastFormChecksAllButTheLast) {
  // the bridge has appended the default when the last argument was left out
  call({makeBytesValue("p"), makeIntValue(-1)}, "optional");
  EXPECT_EQ(check("optional"), "");
  call({makeBytesValue("p"), makeDoubleValue(2.5)}, "optional");  // last is not checked here
  EXPECT_EQ(check("optional"), "");
  call({makeIntValue(3), makeIntValue(-1)}, "optional");
  EXPECT_EQ(check("optional"), "错误：函数  语句 x.m(1); 调用函数 optional 第 1 个参数无法匹配！");
  // as many arguments as entries: the plain form fails at the default entry
  call({makeBytesValue("p"), makeIntValue(1), makeIntValue(2)}, "optional");
  EXPECT_EQ(check("optional"),
            "错误：行号 3 语句 x.m(1); 调用函数 optional 第 2 个参数无法匹配，第 2 个参数需要是未知类型, "
            "给定参数是整数类型！");
  call({}, "optional");
  EXPECT_EQ(check("optional"), "错误：行号 3 语句 x.m(1); 调用函数 optional 参数个数无法匹配");
}

TEST_F(Registry, MethodWithoutArgumentsRefusesOne) {
  call({makeIntValue(1)}, "none");
  EXPECT_EQ(check("none"), "错误：行号 3 语句 x.m(1); 调用函数 none 参数个数无法匹配");
  call({}, "none");
  EXPECT_EQ(check("none"), "");
}

// The quick test the bridge makes before the full check: when it says the
// arguments are ready, the full check must accept them and change nothing.
TEST_F(Registry, ArgumentsAreReadyOnlyWhenTheCheckWouldChangeNothing) {
  struct Case {
    const char* name;
    std::vector<ExprValue> args;
    bool ready;
  };
  const Case cases[] = {
      {"exact", {makeLongValue(7), makeBytesValue("a")}, true},
      {"exact", {makeIntValue(7), makeBytesValue("a")}, false},  // widened
      {"exact", {makeLongValue(7), makeDoubleValue(1.5)}, false},
      {"exact", {makeLongValue(7)}, false},
      {"range", {makeDoubleValue(1.5)}, true},
      {"range", {makeBoolValue(true), makeListValue()}, true},
      {"range", {}, false},
      {"optional", {makeBytesValue("p"), makeIntValue(-1)}, true},
      {"optional", {makeIntValue(3), makeIntValue(-1)}, false},
      {"optional", {makeBytesValue("p"), makeIntValue(1), makeIntValue(2)}, false},
      {"none", {}, true},
      {"none", {makeIntValue(1)}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " with " + std::to_string(c.args.size()) + " arguments");
    call({}, c.name);
    args = c.args;
    frame.args = args.data();
    frame.argc = int(args.size());
    BuiltinMethod* m = builtinRegistry()->at(c.name);
    const bool ready = builtinArgsReady(m, frame.args, frame.argc);
    EXPECT_EQ(ready, c.ready);
    if (!ready) continue;
    std::vector<int32_t> before;
    for (const ExprValue& a : args) before.push_back(a.type);
    EXPECT_EQ(check(c.name), "");
    for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(args[i].type, before[i]);
  }
}

TEST_F(Registry, FindByReceiverAndTypeName) {
  BuiltinMethod* m = nullptr;
  ExprValue list = makeListValue();
  EXPECT_EQ(findBuiltinMethod("exact", list, &m), 1);
  EXPECT_EQ(findBuiltinMethod("nosuch", list, &m), -2);
  ExprValue typeName;
  typeName.type = VT_TYPE_NAME;
  typeName.payload.i32 = VT_LIST;
  EXPECT_EQ(findBuiltinMethod("exact", typeName, &m), -1);  // member only
  EXPECT_EQ(findBuiltinMethod("onType", typeName, &m), 1);
  ExprValue text = makeBytesValue("s");
  EXPECT_EQ(findBuiltinMethod("exact", text, &m), -2);  // another receiver type
  freeValue(list);
  freeValue(text);
}

TEST_F(Registry, CharacterMethodsAreRegisteredOnFirstUse) {
  ExprValue c = makeCharValue('\n');
  QByteArray text("c");
  c.owner = &text;
  BuiltinMethod* m = resolveBuiltinMethod(c, "hex", cc.ctx);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->id, 155);
  call({}, "hex");
  freeValue(receiver);  // the receiver becomes the character
  receiver = makeCharValue('\n');
  invokeBuiltinMethod(m, cc.ctx);
  ASSERT_EQ(frame.resultCount, 1);
  EXPECT_EQ(*frame.result(0).payload.bytes, QByteArray("a"));
  try {
    resolveBuiltinMethod(c, "nosuch", cc.ctx);
    FAIL();
  } catch (std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "错误：行号：3 语句 x.m(1); 调用变量或表达式 c 值是 字符类型 ，该类型没有函数 nosuch\n"
              "调用对象的函数 nosuch不存在，请查看手册或检查拼写错误！");
  }
}

TEST_F(Registry, ASecondRunRegistersAgain) {
  destroyBuiltinRegistry();
  resetBuiltinLibFlags();
  EXPECT_EQ(builtinRegistry(), nullptr);
  initBuiltinRegistry();
  ExprValue c = makeCharValue('A');
  EXPECT_EQ(resolveBuiltinMethod(c, "num", cc.ctx)->id, 154);
}

}  // namespace

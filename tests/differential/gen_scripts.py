#!/usr/bin/env python3
"""Writes generated korvel scripts for the differential run.

Usage: gen_scripts.py OUT_DIR [COUNT] [SEED]

Each script is a random but deterministic mix of what the evaluator's hot
paths do: integer and decimal arithmetic (overflow into czs included),
comparisons, logical operators, counted and while loops with break and
continue, nested blocks that shadow names, user calls with recursion and
several return values, strings, lists and dicts, and now and then a run-time
error (division by zero, an index out of range, an undefined name), so that
messages, the call-stack dump and the exit status are compared too.
"""
import os
import random
import sys


class Gen:
    def __init__(self, rnd):
        self.r = rnd
        self.lines = []
        self.depth = 1
        self.counter = 0
        self.readonly = set()

    def emit(self, text):
        self.lines.append("    " * self.depth + text)

    def fresh(self, prefix):
        self.counter += 1
        return "%s%d" % (prefix, self.counter)

    def int_expr(self, names, d=0):
        r = self.r
        choice = r.randrange(10 if d < 3 else 3)
        if choice == 0 or not names:
            return str(r.choice([0, 1, 2, 3, 7, 10, 255, 1000, 65535, 2147483647, -5, 40000]))
        if choice in (1, 2):
            return r.choice(names)
        if choice == 3:
            return "(%s)" % self.int_expr(names, d + 1)
        if choice == 4:
            return "-%s" % (r.choice(names) if names and r.random() < 0.7 else str(r.randrange(100)))
        op = r.choice(["+", "-", "*", "+", "-", "%", "/", "&", "|", "^"])
        right = self.int_expr(names, d + 1)
        if op in ("%", "/") and r.random() < 0.85:
            right = str(r.choice([1, 3, 7, 13]))
        return "%s %s %s" % (self.int_expr(names, d + 1), op, right)

    def dec_expr(self, names, dnames, d=0):
        r = self.r
        c = r.randrange(6 if d < 2 else 2)
        if c == 0:
            return r.choice(["0.5", "1.25", "3.0", "100.125", "-2.5"])
        if c == 1 and dnames:
            return r.choice(dnames)
        if c == 2 and names:
            return r.choice(names)
        if d >= 2:
            return r.choice(["0.25", "7.5"])
        op = r.choice(["+", "-", "*", "/"])
        right = self.dec_expr(names, dnames, d + 1)
        if op == "/":
            right = r.choice(["2.0", "4", "0.5"])
        return "%s %s %s" % (self.dec_expr(names, dnames, d + 1), op, right)

    def cond(self, names):
        r = self.r
        op = r.choice(["<", "<=", ">", ">=", "==", "!="])
        c = "(%s) %s (%s)" % (self.int_expr(names, 2), op, self.int_expr(names, 2))
        if r.random() < 0.25:
            c = "%s %s %s" % (c, r.choice(["&&", "||", "and", "or"]), self.cond(names))
        if r.random() < 0.1:
            c = "!(%s)" % c
        return c

    def block(self, names, dnames, budget, in_loop, funcs):
        r = self.r
        names = list(names)
        dnames = list(dnames)
        for _ in range(budget):
            k = r.randrange(16)
            if k < 3:
                n = self.fresh("v")
                ty = r.choice(["zs", "zs", "czs"])
                self.emit("%s %s = %s;" % (ty, n, self.int_expr(names)))
                names.append(n)
            elif k == 3 and names:
                # shadowing in a nested block
                n = r.choice(names)
                self.emit("{")
                self.depth += 1
                self.emit("zs %s = %s;" % (n, self.int_expr(names)))
                self.emit("dyh(%s);" % n)
                self.depth -= 1
                self.emit("}")
            elif k == 4:
                n = self.fresh("d")
                self.emit("xs %s = %s;" % (n, self.dec_expr(names, dnames)))
                dnames.append(n)
            elif k in (5, 6) and [n for n in names if n not in self.readonly]:
                t = r.choice([n for n in names if n not in self.readonly])
                op = r.choice(["=", "+=", "-=", "+="])
                self.emit("%s %s %s;" % (t, op, self.int_expr(names)))
            elif k == 7 and budget > 1 and self.depth < 5:
                i = self.fresh("i")
                lim = r.choice([0, 1, 3, 5, 10])
                step = r.choice(["%s++" % i, "%s += 2" % i])
                self.emit("xun (zs %s = 0; %s < %d; %s) {" % (i, i, lim, step))
                self.depth += 1
                self.readonly.add(i)
                self.block(names + [i], dnames, r.randrange(1, 4), True, funcs)
                if r.random() < 0.3:
                    self.emit("sf %s > 2 { %s; }" % (i, r.choice(["tuichu", "jixu"])))
                self.depth -= 1
                self.emit("}")
            elif k == 8 and self.depth < 5:
                self.emit("sf %s {" % self.cond(names))
                self.depth += 1
                self.block(names, dnames, r.randrange(1, 3), in_loop, funcs)
                self.depth -= 1
                if r.random() < 0.4:
                    self.emit("} zsf %s {" % self.cond(names))
                    self.depth += 1
                    self.block(names, dnames, 1, in_loop, funcs)
                    self.depth -= 1
                if r.random() < 0.5:
                    self.emit("} qt {")
                    self.depth += 1
                    self.block(names, dnames, 1, in_loop, funcs)
                    self.depth -= 1
                self.emit("}")
            elif k == 9 and funcs:
                f, argc = r.choice(funcs)
                args = ", ".join(self.int_expr(names, 2) for _ in range(argc))
                self.emit("dyh(%s(%s));" % (f, args))
            elif k == 10:
                s = self.fresh("s")
                self.emit('zfc %s = "k";' % s)
                j = self.fresh("j")
                self.emit("xun (zs %s = 0; %s < %d; %s++) { %s += \"%s\"; }" %
                          (j, j, r.randrange(4), j, s, r.choice(["ab", "中", "x"])))
                self.emit("dyh(%s, %s.size());" % (s, s))
            elif k == 11:
                lst = self.fresh("l")
                self.emit("lb %s = [%s];" % (lst, ", ".join(self.int_expr(names, 2) for _ in range(r.randrange(1, 4)))))
                self.emit("%s.append(%s);" % (lst, self.int_expr(names, 2)))
                idx = r.choice([0, 1, 2, 5]) if r.random() < 0.1 else 0
                self.emit("dyh(%s[%d], %s.size());" % (lst, idx, lst))
                e = self.fresh("e")
                self.emit("xun _, %s in %s { dyh(%s); }" % (e, lst, e))
            elif k == 12:
                dct = self.fresh("m")
                self.emit('zd %s = {"a": 1};' % dct)
                self.emit('%s["b"] = %s;' % (dct, self.int_expr(names, 2)))
                self.emit("dyh(%s);" % dct)
            elif k == 13 and names:
                w = self.fresh("w")
                n = r.choice(names)
                self.emit("zs %s = 0;" % w)
                self.emit("while (%s < %d) {" % (w, r.randrange(5)))
                self.depth += 1
                self.emit("%s++;" % w)
                self.emit("sf %s == 2 { jixu; }" % w)
                self.emit("dyh(%s, %s);" % (w, n))
                self.depth -= 1
                self.emit("}")
            elif k == 14 and r.random() < 0.08:
                self.emit(r.choice(["dyh(1 / 0);", "dyh(nosuchname);", "dyh(%s %% 0);" % (names[0] if names else "3"),
                                    'lb q = [1]; dyh(q[3]);']))
            else:
                if names:
                    self.emit("dyh(%s);" % ", ".join(r.sample(names, min(len(names), 3))))
                if dnames:
                    self.emit("dyh(%s);" % r.choice(dnames))
        return names

    def function(self, name, argc, funcs):
        r = self.r
        params = ["p%d" % k for k in range(argc)]
        self.lines.append("hanshu %s(%s) (zs) {" % (name, ", ".join("zs " + p for p in params)))
        self.depth = 1
        if r.random() < 0.5 and params:
            # a recursion with a bounded depth
            self.emit("sf %s <= 0 || %s > 12 { fanhui %s; }" % (params[0], params[0], self.int_expr(params, 2)))
            rec_args = ", ".join(["%s - 1" % params[0]] + [self.int_expr(params, 2) for _ in params[1:]])
            self.emit("zs r = %s(%s) + %s;" % (name, rec_args, self.int_expr(params, 2)))
            self.emit("fanhui r;")
        else:
            names = self.block(params, [], r.randrange(1, 4), False, funcs)
            self.emit("fanhui %s;" % self.int_expr(names, 1))
        self.lines.append("}")
        self.lines.append("")

    def script(self):
        r = self.r
        funcs = []
        if r.random() < 0.5:
            self.lines.append("quanju_dingyi {")
            self.lines.append("    zs g1 = %d;" % r.randrange(100))
            self.lines.append("    czs g2 = 5000000000;")
            self.lines.append("}")
        for k in range(r.randrange(0, 4)):
            name = "f%d" % k
            argc = r.randrange(1, 4)
            self.function(name, argc, list(funcs))
            funcs.append((name, argc))
        if r.random() < 0.3:
            self.lines.append("hanshu pair(zs a, zs b) (zs, zs) {")
            self.lines.append("    fanhui a + b, a - b;")
            self.lines.append("}")
        self.lines.append("hanshu hs_rukou() {")
        self.depth = 1
        names = ["g1", "g2"] if "quanju_dingyi {" in self.lines else []
        self.block(names, [], r.randrange(4, 14), False, funcs)
        if "hanshu pair(zs a, zs b) (zs, zs) {" in self.lines:
            self.emit("zs x1, x2;")
            self.emit("x1, x2 = pair(%d, %d);" % (r.randrange(9), r.randrange(9)))
            self.emit("dyh(x1, x2);")
        self.lines.append("}")
        return "\n".join(self.lines) + "\n"


def main():
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 14
    os.makedirs(out, exist_ok=True)
    for n in range(count):
        text = Gen(random.Random(seed * 100003 + n)).script()
        with open(os.path.join(out, "gen%04d.kor" % n), "w", encoding="utf-8") as f:
            f.write(text)


if __name__ == "__main__":
    main()

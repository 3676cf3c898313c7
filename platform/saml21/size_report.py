#!/usr/bin/env python3
"""Size report of the chip build: flash and RAM against their budgets, the RAM
split between the firmware and the board layer, and the instruction paths of
the millisecond tick. Exits with status 1 when a figure is over its budget.

  size_report.py --elf build/target/zelmora.elf --map build/target/zelmora.map

Memory figures come from the section sizes of the ELF and from the linker
map, whose input sections (one per function and per object, thanks to
-ffunction-sections -fdata-sections) name the object file they come from.

The tick's paths come from a static analysis of the disassembly
(arm-none-eabi-objdump -d). Assumptions:
  - Each function is cut into basic blocks at branch targets and after
    branches and returns; a block costs its instruction count, plus, for each
    `bl`, the worst path of the called function (calls included, recursively).
    A `b` to another function is a tail call: its worst path, then the end.
  - A path ends at `bx lr` or a `pop` that loads pc. Indirect calls and
    jumps, loops and recursion are not bounded here: the analysis stops with
    an error rather than guess. The tick's code is loop-free.
  - Instructions are counted, not cycles: the exception entry and return of
    the core (stacking, 15 cycles each way) and bus wait states are not.
  - The period classes follow the firmware's cascaded counters. A counter's
    test is found by its value: a load through the counter's address (taken
    from a literal pool), a few in-place adds or extensions, then `cmp` with
    a constant and a conditional branch at the end of that block. For the
    ordinary millisecond the branch must go the way of a counter that did
    not roll over (cacciones_100ms + 1 <= 99); for the minute every counter
    rolls over. Branches the classes do not fix take their worst side.
"""
import argparse
import re
import subprocess
import sys

RAM_BYTES = 32 * 1024

# Counters of the tick, in cascade order, with the largest value that does
# not roll over.
COUNTERS = [("cacciones_100ms", 99), ("cacciones_1s", 9), ("cacciones_1min", 59)]
CLASSES = [
    ("ordinary millisecond", 0),
    ("100 ms step", 1),
    ("1 s step", 2),
    ("minute (100 ms debounce, 1 s and 1 min work)", 3),
]

COND = {
    "eq": lambda v, k: v == k, "ne": lambda v, k: v != k,
    "cs": lambda v, k: v >= k, "hs": lambda v, k: v >= k,
    "cc": lambda v, k: v < k, "lo": lambda v, k: v < k,
    "hi": lambda v, k: v > k, "ls": lambda v, k: v <= k,
    "ge": lambda v, k: v >= k, "lt": lambda v, k: v < k,
    "gt": lambda v, k: v > k, "le": lambda v, k: v <= k,
}
COND_BRANCH = re.compile(r"^b(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)(\.n|\.w)?$")


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


# ---------------------------------------------------------------- memory ----

def section_sizes(prefix, elf):
    sizes = {}
    for line in run([prefix + "size", "-A", elf]).splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[0].startswith(".") and parts[1].isdigit():
            sizes[parts[0]] = int(parts[1])
    return sizes


def owner(path):
    m = re.search(r"lib(\w+)\.a\((.+?)\)", path)
    if m:
        lib, obj = m.group(1), re.sub(r"\.(cpp|c)\.obj$|\.o$", "", m.group(2))
        if lib == "zelmora_firmware":
            return "firmware", obj
        if lib == "zelmora_board":
            return "board", obj
        return "toolchain", lib
    if "startup" in path:
        return "board", "startup"
    return "toolchain", path.rsplit("/", 1)[-1]


def map_sections(path):
    """(output section, input section, size, owner group, object) from the map."""
    out = []
    text = open(path, encoding="utf-8", errors="replace").read()
    text = text.split("Linker script and memory map", 1)[-1]
    current = None
    pending = None
    for line in text.splitlines():
        m = re.match(r"^(\.\w[\w.]*)\b", line)
        if m:
            current = m.group(1)
            pending = None
            continue
        m = re.match(r"^ (\*fill\*|[.\w][^\s]*)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)(?:\s+(.+))?$", line)
        if m:
            name, size, where = m.group(1), int(m.group(3), 16), m.group(4) or ""
            if name == "*fill*":
                out.append((current, name, size, "padding", ""))
            else:
                out.append((current, name, size) + owner(where))
            pending = None
            continue
        m = re.match(r"^ ([.\w][^\s]*)$", line)
        if m:
            pending = m.group(1)
            continue
        m = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.+)$", line)
        if m and pending:
            out.append((current, pending, int(m.group(2), 16)) + owner(m.group(3)))
            pending = None
    return [s for s in out if s[2] > 0]


def symbol_name(section):
    return re.sub(r"^\.(bss|data|text|rodata)\.", "", section)


def demangle(prefix, names):
    if not names:
        return {}
    res = run([prefix + "c++filt"] + names).splitlines()
    return dict(zip(names, res))


# ------------------------------------------------------------- tick paths ----

class Function:
    def __init__(self, name, addr):
        self.name = name
        self.addr = addr
        self.insns = []   # (addr, mnemonic, operands)


def disassemble(prefix, elf):
    funcs, words = {}, {}
    cur = None
    for line in run([prefix + "objdump", "-d", "-C", "--no-show-raw-insn", elf]).splitlines():
        m = re.match(r"^([0-9a-f]+) <(.+)>:$", line)
        if m:
            cur = Function(m.group(2), int(m.group(1), 16))
            funcs[cur.addr] = cur
            continue
        m = re.match(r"^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if not m or cur is None:
            continue
        addr, mnem, ops = int(m.group(1), 16), m.group(2), m.group(3)
        if mnem.startswith("."):
            if mnem == ".word":
                words[addr] = int(ops.split()[0], 16)
            continue
        cur.insns.append((addr, mnem, ops))
    return funcs, words


def target_of(ops):
    m = re.match(r"^([0-9a-f]+)\b", ops.strip())
    return int(m.group(1), 16) if m else None


def literal_of(ops):
    m = re.search(r"\[pc, #-?\d+\]\s*@ \(([0-9a-f]+)", ops)
    return int(m.group(1), 16) if m else None


class Analysis:
    def __init__(self, funcs, words, symbols):
        self.funcs = funcs
        self.words = words
        self.addr_of = {}
        for f in funcs.values():
            self.addr_of.setdefault(f.name, f.addr)
        self.sym_at = {a: n for n, a in symbols.items()}
        self.memo = {}
        self.active = set()

    def blocks(self, f):
        addrs = [a for a, _, _ in f.insns]
        inside = set(addrs)
        leaders = {f.addr}
        for i, (a, mnem, ops) in enumerate(f.insns):
            base = mnem.split(".")[0]
            if base == "b" or COND_BRANCH.match(mnem):
                t = target_of(ops)
                if t in inside:
                    leaders.add(t)
            if base in ("b", "bx") or COND_BRANCH.match(mnem) or (base == "pop" and "pc" in ops):
                if i + 1 < len(addrs):
                    leaders.add(addrs[i + 1])
        blocks, cur = {}, None
        for ins in f.insns:
            if ins[0] in leaders:
                cur = ins[0]
                blocks[cur] = []
            blocks[cur].append(ins)
        return blocks, inside

    def counter_test(self, block):
        """(counter, constant) when the block ends in a test of a counter's value."""
        sym_reg, val_reg = {}, {}
        test = None
        for _, mnem, ops in block:
            regs = [r.strip() for r in ops.split("@")[0].split(",")]
            dst = regs[0] if regs else ""
            if mnem == "ldr" and literal_of(ops) is not None:
                value = self.words.get(literal_of(ops))
                val_reg.pop(dst, None)
                sym_reg.pop(dst, None)
                if value in self.sym_at:
                    sym_reg[dst] = self.sym_at[value]
                continue
            m = re.match(r"^(r\d+), \[(r\d+)(?:, #0)?\]$", ops.split("@")[0].strip())
            if mnem in ("ldrb", "ldrh", "ldr") and m and m.group(2) in sym_reg:
                val_reg[m.group(1)] = sym_reg[m.group(2)]
                sym_reg.pop(m.group(1), None)
                continue
            if mnem == "cmp":
                km = re.match(r"^#(\d+)", regs[1]) if len(regs) > 1 else None
                test = (val_reg[dst], int(km.group(1))) if km and dst in val_reg else None
                continue
            if mnem in ("adds", "subs") and len(regs) == 2 and regs[1].startswith("#"):
                continue   # in place: the value's offset does not change which branch it takes
            if mnem in ("uxtb", "uxth") and len(regs) == 2 and regs[0] == regs[1]:
                continue
            if dst.startswith("r"):
                val_reg.pop(dst, None)
                sym_reg.pop(dst, None)
        last = block[-1][1]
        return test if COND_BRANCH.match(last) else None

    def fixed_direction(self, test, cond, level):
        """True: branch taken, False: falls through, None: free, for a class."""
        if level is None:
            return None
        name, k = test
        names = [c for c, _ in COUNTERS]
        if name not in names:
            return None
        i = names.index(name)
        limit = dict(COUNTERS)[name]
        if i > level:
            return None   # this counter is never reached in the class
        rolls = i < level
        values = [limit + 1] if rolls else [1, limit]
        taken = {COND[cond](v, k) for v in values}
        if len(taken) != 1:
            raise SystemExit(f"size report: the test of {name} against {k} is not a threshold")
        return taken.pop()

    def worst(self, addr, level):
        """(instructions, [(callee, instructions)]) of the worst path of a function."""
        key = (addr, level)
        if key in self.memo:
            return self.memo[key]
        f = self.funcs.get(addr)
        if f is None or not f.insns:
            raise SystemExit(f"size report: no code at {addr:#x}")
        if key in self.active:
            raise SystemExit(f"size report: {f.name} is recursive; its path cannot be bounded")
        self.active.add(key)
        blocks, inside = self.blocks(f)
        best = {}
        on_stack = set()

        def walk(b):
            if b in best:
                return best[b]
            if b in on_stack:
                raise SystemExit(f"size report: loop in {f.name} at {b:#x}; its path cannot be bounded")
            on_stack.add(b)
            insns = blocks[b]
            cost, calls = len(insns), []
            for _, mnem, ops in insns:
                if mnem == "blx" or (mnem == "bx" and "lr" not in ops) or (mnem.startswith("mov") and "pc" in ops.split(",")[0]):
                    raise SystemExit(f"size report: indirect branch in {f.name}; its path cannot be bounded")
                if mnem == "bl":
                    c, sub = self.worst(target_of(ops), level)
                    cost += c
                    calls.append((self.funcs[target_of(ops)].name, c))
                    calls.extend(sub)
            a, mnem, ops = insns[-1]
            base = mnem.split(".")[0]
            nxt = a_next(insns)
            succ = []
            if base == "bx" or (base == "pop" and "pc" in ops):
                succ = []
            elif base == "b":
                t = target_of(ops)
                if t in inside:
                    succ = [t]
                else:   # tail call
                    c, sub = self.worst(t, level)
                    cost += c
                    calls.append((self.funcs[t].name, c))
                    calls.extend(sub)
            elif COND_BRANCH.match(mnem):
                t = target_of(ops)
                fixed = None
                test = self.counter_test(insns)
                if test:
                    fixed = self.fixed_direction(test, COND_BRANCH.match(mnem).group(1), level)
                taken = [t] if t in inside else []
                fall = [nxt] if nxt in blocks else []
                succ = taken if fixed is True else fall if fixed is False else taken + fall
            else:
                succ = [nxt] if nxt in blocks else []
            tail = (0, [])
            for s in succ:
                r = walk(s)
                if r[0] > tail[0]:
                    tail = r
            on_stack.discard(b)
            best[b] = (cost + tail[0], calls + tail[1])
            return best[b]

        def a_next(insns):
            last = insns[-1][0]
            later = [x for x in blocks if x > last]
            return min(later) if later else None

        result = walk(f.addr)
        self.active.discard(key)
        self.memo[key] = result
        return result


def summarize_calls(calls):
    counts = {}
    for name, c in calls:
        n, _ = counts.get(name, (0, c))
        counts[name] = (n + 1, c)
    parts = []
    for name, (n, c) in counts.items():
        short = name.split("(")[0]
        parts.append(f"{short} {c}" + (f" x{n}" if n > 1 else ""))
    return ", ".join(parts)


# ------------------------------------------------------------------ main ----

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--elf", required=True)
    ap.add_argument("--map", required=True)
    ap.add_argument("--prefix", default="arm-none-eabi-")
    ap.add_argument("--flash-budget", type=int, default=64 * 1024)
    ap.add_argument("--ram-budget", type=int, default=12 * 1024, help="static RAM, everything but the stack")
    ap.add_argument("--ordinary-budget", type=int, default=60, help="instructions of an ordinary millisecond, below")
    ap.add_argument("--worst-budget", type=int, default=400, help="instructions of the longest tick, below")
    ap.add_argument("--top", type=int, default=6, help="largest symbols listed per group")
    a = ap.parse_args()

    over = []
    sizes = section_sizes(a.prefix, a.elf)
    text = sizes.get(".text", 0) + sizes.get(".ARM.exidx", 0)
    data, bss = sizes.get(".data", 0), sizes.get(".bss", 0)
    flash, ram = text + data, data + bss
    stack = RAM_BYTES - ram

    def verdict(value, budget, below=False):
        ok = value < budget if below else value <= budget
        return "ok" if ok else "OVER"

    print("==== size report: ATSAML21J18B (256 KiB flash, 32 KiB RAM) ====")
    print(f"flash  {flash:6d} bytes (text {text}, data {data})   budget {a.flash_budget}  "
          f"{verdict(flash, a.flash_budget)}")
    print(f"RAM    {ram:6d} bytes static (data {data}, bss {bss})   budget {a.ram_budget}  "
          f"{verdict(ram, a.ram_budget)}")
    print(f"stack  {stack:6d} bytes: the rest of the RAM, from the top down")
    if flash > a.flash_budget:
        over.append("flash")
    if ram > a.ram_budget:
        over.append("static RAM")

    secs = map_sections(a.map)
    names = sorted({symbol_name(s[1]) for s in secs if s[0] in (".data", ".bss")})
    pretty = demangle(a.prefix, [n for n in names if n.startswith("_Z")])
    for title, outs in (("RAM (data + bss)", (".data", ".bss")), ("flash (text + rodata + data image)", (".text", ".ARM.exidx", ".data"))):
        print(f"-- {title} by owner --")
        for group, label in (("firmware", "firmware: its records and buffers"),
                             ("board", "board layer: serial rings, bus state, time"),
                             ("toolchain", "toolchain libraries (libgcc, newlib)"),
                             ("padding", "alignment")):
            part = [s for s in secs if s[0] in outs and s[3] == group]
            total = sum(s[2] for s in part)
            if total == 0:
                continue
            print(f"  {label:45s} {total:6d}")
            if title.startswith("RAM") and group in ("firmware", "board"):
                part.sort(key=lambda s: -s[2])
                for s in part[: a.top]:
                    n = symbol_name(s[1])
                    print(f"      {pretty.get(n, n):40s} {s[2]:6d}  ({s[4]})")
            if title.startswith("flash") and group in ("firmware", "board", "toolchain"):
                per = {}
                for s in part:
                    per[s[4]] = per.get(s[4], 0) + s[2]
                for obj, n in sorted(per.items(), key=lambda x: -x[1])[: a.top]:
                    print(f"      {obj:40s} {n:6d}")

    symbols = {}
    for line in run([a.prefix + "nm", a.elf]).splitlines():
        parts = line.split()
        if len(parts) == 3:
            symbols[parts[2]] = int(parts[0], 16)
    funcs, words = disassemble(a.prefix, a.elf)
    an = Analysis(funcs, words, symbols)
    root = an.addr_of.get("TC0_Handler")
    if root is None:
        raise SystemExit("size report: TC0_Handler is not in the image")
    print("-- tick: TC0_Handler, worst path in instructions, calls included --")
    results = []
    for label, level in CLASSES:
        n, calls = an.worst(root, level)
        results.append(n)
        print(f"  {label:50s} {n:4d}   calls: {summarize_calls(calls) or 'none'}")
    free, calls = an.worst(root, None)
    print(f"  {'any path':50s} {free:4d}   calls: {summarize_calls(calls) or 'none'}")
    print(f"  ordinary millisecond {results[0]} (budget: under {a.ordinary_budget})  "
          f"{verdict(results[0], a.ordinary_budget, below=True)}")
    print(f"  longest path         {free} (budget: under {a.worst_budget})  {verdict(free, a.worst_budget, below=True)}")
    if results[0] >= a.ordinary_budget:
        over.append("ordinary tick")
    if free >= a.worst_budget:
        over.append("longest tick")

    if over:
        print("size report: over budget: " + ", ".join(over))
        return 1
    print("size report: every figure within its budget")
    return 0


if __name__ == "__main__":
    sys.exit(main())

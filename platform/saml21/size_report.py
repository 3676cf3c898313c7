#!/usr/bin/env python3
"""Size report of the chip build: flash and RAM against their budgets, the RAM
split between the firmware and the board layer, and the instruction paths of
the millisecond tick. Exits with status 1 when a figure is over its budget.

  size_report.py --elf build/target/zelmora.elf --map build/target/zelmora.map

Memory figures come from the section sizes of the ELF (arm-none-eabi-size -A)
and from its symbols (arm-none-eabi-nm -S --size-sort), each given to the
firmware or the board layer by its source file (debug line info) or by the
archive that defines it (libzelmora_firmware.a, libzelmora_board.a, listed
with arm-none-eabi-gcc-nm); the rest is the toolchain's.

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
import os
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


def library_symbols(prefix, archive):
    """Names defined in an archive of (link-time optimised) objects."""
    names = set()
    for line in run([prefix + "gcc-nm", "-C", "--defined-only", archive]).splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3:
            names.add(parts[2])
    return names


def owned_symbols(prefix, elf, firmware, board):
    """(owner, name, size, type) of every sized symbol of the image. The owner
    comes from the symbol's source file (debug line info) or, for data, from
    the archive that defines it: the firmware's, the board layer's, or else
    the toolchain's libraries (libgcc, newlib)."""
    out = []
    for line in run([prefix + "nm", "-S", "-l", "-C", "--size-sort", elf]).splitlines():
        m = re.match(r"^[0-9a-f]+ ([0-9a-f]+) (\w) ([^\t]+)(?:\t(.*))?$", line)
        if not m:
            continue
        size, kind, name, where = int(m.group(1), 16), m.group(2), m.group(3).strip(), m.group(4) or ""
        if "/firmware/" in where or name in firmware:
            who = "firmware"
        elif "/platform/" in where or name in board or name.startswith(("board::", "chip::", "zplat::")):
            who = "board"
        else:
            who = "toolchain"
        out.append((who, name, size, kind.lower()))
    return out


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

    def step_addresses(self, state, insn):
        """Constant addresses held in registers, after one instruction."""
        _, mnem, ops = insn
        args = [r.strip() for r in ops.split("@")[0].split(",")]
        dst = args[0] if args else ""
        if mnem == "ldr" and literal_of(ops) is not None:
            value = self.words.get(literal_of(ops))
            if value is None:
                state.pop(dst, None)
            else:
                state[dst] = value
            return
        if mnem in ("movs", "mov") and len(args) == 2 and args[1] in state:
            state[dst] = state[args[1]]
            return
        if mnem in ("adds", "subs") and len(args) == 2 and args[1].startswith("#") and dst in state:
            k = int(args[1][1:], 0)
            state[dst] = state[dst] + k if mnem == "adds" else state[dst] - k
            return
        if mnem in ("bl", "blx"):
            for r in ("r0", "r1", "r2", "r3", "r12", "lr"):
                state.pop(r, None)   # not preserved across a call (AAPCS)
            return
        if re.match(r"^r\d+$", dst) and not mnem.startswith(("str", "cmp", "tst", "b", "push")):
            state.pop(dst, None)

    def entry_states(self, blocks, succs, entry):
        """Registers holding the same constant address on every way into a block."""
        states = {entry: {}}
        order = sorted(blocks)
        changed = True
        while changed:
            changed = False
            for b in order:
                if b not in states:
                    continue
                st = dict(states[b])
                for insn in blocks[b]:
                    self.step_addresses(st, insn)
                for s in succs.get(b, []):
                    if s not in states:
                        states[s] = dict(st)
                        changed = True
                    else:
                        merged = {r: v for r, v in states[s].items() if st.get(r) == v}
                        if merged != states[s]:
                            states[s] = merged
                            changed = True
        return states

    def counter_test(self, block, entry_state):
        """(counter, constant) when the block ends in a test of a counter's value:
        a load through the counter's address, in-place adds or extensions, cmp."""
        addr = dict(entry_state)
        val_reg = {}
        test = None
        for insn in block:
            _, mnem, ops = insn
            args = [r.strip() for r in ops.split("@")[0].split(",")]
            dst = args[0] if args else ""
            m = re.match(r"^(r\d+), \[(r\d+)(?:, #(\d+))?\]$", ops.split("@")[0].strip())
            if mnem in ("ldrb", "ldrh", "ldr") and m and m.group(2) in addr:
                target = addr[m.group(2)] + int(m.group(3) or 0)
                addr.pop(m.group(1), None)
                if target in self.sym_at:
                    val_reg[m.group(1)] = self.sym_at[target]
                else:
                    val_reg.pop(m.group(1), None)
                continue
            if mnem == "cmp":
                km = re.match(r"^#(\d+)", args[1]) if len(args) > 1 else None
                test = (val_reg[dst], int(km.group(1))) if km and dst in val_reg else None
                continue
            if dst in val_reg and ((mnem in ("adds", "subs") and len(args) == 2 and args[1].startswith("#")) or
                                   (mnem in ("uxtb", "uxth") and len(args) == 2 and args[0] == args[1])):
                continue   # in place: the value's offset does not change which branch it takes
            if re.match(r"^r\d+$", dst) and not mnem.startswith(("str", "cmp", "tst", "b", "push")):
                val_reg.pop(dst, None)
            self.step_addresses(addr, insn)
        return test if COND_BRANCH.match(block[-1][1]) else None

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

    def successors(self, blocks, inside):
        later = sorted(blocks)
        succs = {}
        for i, b in enumerate(later):
            a, mnem, ops = blocks[b][-1]
            base = mnem.split(".")[0]
            nxt = later[i + 1] if i + 1 < len(later) else None
            if base == "bx" or (base == "pop" and "pc" in ops):
                succs[b] = []
            elif base == "b":
                t = target_of(ops)
                succs[b] = [t] if t in inside else []
            elif COND_BRANCH.match(mnem):
                t = target_of(ops)
                succs[b] = ([t] if t in inside else []) + ([nxt] if nxt is not None else [])
            else:
                succs[b] = [nxt] if nxt is not None else []
        return succs

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
        succs = self.successors(blocks, inside)
        states = self.entry_states(blocks, succs, f.addr)
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
                test = self.counter_test(insns, states.get(b, {}))
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
    ap.add_argument("--map", help="the linker map (kept beside the ELF; not needed for the figures)")
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

    libdir = os.path.dirname(os.path.abspath(a.elf))
    syms = owned_symbols(a.prefix, a.elf,
                         library_symbols(a.prefix, os.path.join(libdir, "libzelmora_firmware.a")),
                         library_symbols(a.prefix, os.path.join(libdir, "libzelmora_board.a")))
    labels = {
        "firmware": ("the firmware's records and buffers", "the firmware"),
        "board": ("board layer: serial rings, bus state, time", "board layer (and what LTO inlined into it)"),
        "toolchain": ("toolchain libraries", "toolchain: libgcc soft float and division, newlib"),
    }
    for title, kinds, total, idx in (("RAM (data + bss)", "bd", ram, 0), ("flash (code + constants)", "tr", text, 1)):
        print(f"-- {title} by owner --")
        counted = 0
        for group in ("firmware", "board", "toolchain"):
            part = sorted((x for x in syms if x[0] == group and x[3] in kinds), key=lambda x: -x[2])
            n = sum(x[2] for x in part)
            counted += n
            if n == 0:
                continue
            print(f"  {labels[group][idx]:48s} {n:6d}")
            for x in part[: a.top]:
                print(f"      {x[1][:44]:44s} {x[2]:6d}")
        print(f"  {'alignment, literal pools, unnamed':48s} {max(total - counted, 0):6d}")

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

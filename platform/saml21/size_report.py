#!/usr/bin/env python3
"""Size report of the chip build: flash and RAM against their budgets, the RAM
split between the firmware and the board layer, the instruction paths of the
millisecond tick, and the worst-case stack. Exits with status 1 when a figure
is over its budget or the stack's frames disagree with the compiler's.

  size_report.py --elf build/target/zelmora.elf --map build/target/zelmora.map [--su-dir build/target]

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

Stack, worst case, in bytes: each function's frame comes from its own
disassembly, its call graph from the same walk.
  - The stack pointer is followed through every path of the function's
    control flow (push, pop, sub sp and add sp with constants); its frame is
    the deepest point, and each call adds the callee's worst case to the depth
    at the call. Loops are fine; recursion stops the report with an error, as
    does an sp set from a register (alloca, variable-length arrays).
  - Indirect calls: a virtual call (load of the vtable, then of a slot, then
    blx) may reach that slot of every vtable of the image; Reset_Handler's
    calls through pointers reach the static constructors (.init_array), setup
    and loop. Any other indirect call stops the report with an error. Jump
    tables (switch) are jumps inside the function, at the depth of the jump.
  - Code generation happens at link time (-flto), so the compiler's own
    figures come from the LTRANS stage: zelmora.elf.ltrans<N>.ltrans.su
    (-fstack-usage at link time). They cover the firmware and the board
    layer, not libgcc or newlib, and name functions without their class, so
    they serve as a cross-check: every function they name unambiguously must
    have the frame the disassembly gives it, or the report fails.
  - Interrupts: the core stacks 8 words on entry, plus a word to realign the
    stack to 8 bytes (36 bytes). An exception preempts only a strictly more
    urgent priority, so the deepest nesting takes, per priority level, the
    handler with the deepest stack: the levels are those the code sets (TC0 1,
    WDT 3; everything else keeps its reset level 0), NMI and HardFault fixed
    above them. Total: the main stack (Reset_Handler, then setup or loop)
    plus that nesting, against the RAM left for the stack.
"""
import argparse
import glob
import os
import re
import struct
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


# ------------------------------------------------------------------ stack ----

# Exception entry: r0-r3, r12, lr, pc, xPSR, and a word to realign to 8 bytes.
EXCEPTION_FRAME = 8 * 4 + 4
# Levels the code sets (zelmora.cpp: TC0; Sodaq_wdt.cpp: WDT); every other
# configurable exception keeps its reset level, 0 (ARMv6-M: B1.5.4).
PRIORITY = {"TC0_Handler": 1, "WDT_Handler": 3}
SYSTEM_VECTORS = {2: ("NMI_Handler", -2), 3: ("HardFault_Handler", -1), 11: ("SVC_Handler", None),
                  14: ("PendSV_Handler", None), 15: ("SysTick_Handler", None)}
# Called through pointers by Reset_Handler (startup.cpp), besides the constructors.
RESET_CALLS = ("setup()", "loop()")
STACK_LIMIT = 64 * 1024   # a depth past this means the stack grows in a loop


class Image:
    """Bytes of the ELF's loaded sections, by address."""

    def __init__(self, path):
        with open(path, "rb") as fh:
            self.raw = fh.read()
        shoff, = struct.unpack_from("<I", self.raw, 0x20)
        shentsize, shnum = struct.unpack_from("<HH", self.raw, 0x2E)
        self.sections = []
        for i in range(shnum):
            _, kind, flags, addr, off, size = struct.unpack_from("<IIIIII", self.raw, shoff + i * shentsize)
            if kind == 1 and flags & 2:   # PROGBITS, ALLOC
                self.sections.append((addr, off, size))

    def word(self, addr):
        for base, off, size in self.sections:
            if base <= addr and addr + 4 <= base + size:
                return struct.unpack_from("<I", self.raw, off + addr - base)[0]
        raise SystemExit(f"size report: no loaded word at {addr:#x}")


def registers(ops):
    m = re.search(r"\{([^}]*)\}", ops)
    regs = []
    for part in (m.group(1).split(",") if m else []):
        part = part.strip()
        r = re.match(r"^r(\d+)-r(\d+)$", part)
        regs.extend(range(int(r.group(1)), int(r.group(2)) + 1) if r else [part])
    return regs


class StackAnalysis:
    """Worst-case stack of a function, its calls included, in bytes."""

    def __init__(self, funcs, image, symbols, named):
        self.funcs = funcs
        self.starts = sorted(funcs)
        self.image = image
        self.named = named          # name -> address, as objdump names functions
        self.memo = {}
        self.frames = {}            # address -> the function's own deepest point
        self.active = []
        self.vtables = []           # (address point, end)
        for name, (addr, size) in symbols.items():
            if name.startswith("_ZTV"):
                self.vtables.append((addr + 8, addr + size))
        self.reset_targets = []
        start, end = symbols.get("__init_array_start", (0, 0))[0], symbols.get("__init_array_end", (0, 0))[0]
        for a in range(start, end, 4):
            self.reset_targets.append(self.code_at(image.word(a)))
        for name in RESET_CALLS:
            if name not in named:
                raise SystemExit(f"size report: {name} is not in the image")
            self.reset_targets.append(named[name])

    def code_at(self, value):
        addr = value & ~1
        if addr not in self.funcs:
            raise SystemExit(f"size report: no function at {addr:#x}")
        return addr

    def vtable_slot(self, block, i, reg):
        """The targets of `blx reg` when reg was loaded from a vtable slot."""
        slot = base = None
        for _, mnem, ops in reversed(block[:i]):
            m = re.match(r"^(r\d+), \[(r\d+)(?:, #(\d+))?\]$", ops.split("@")[0].strip())
            if slot is None:
                if ops.split(",")[0].strip() == reg:
                    if mnem != "ldr" or not m:
                        return None
                    slot, base = int(m.group(3) or 0), m.group(2)
            elif ops.split(",")[0].strip() == base:
                if mnem != "ldr" or not m or int(m.group(3) or 0) != 0:
                    return None
                targets = [self.code_at(self.image.word(vt + slot)) for vt, end in self.vtables if vt + slot + 4 <= end]
                return targets or None
        return None

    def containing(self, addr):
        """The function whose code holds addr: a branch may enter another's middle."""
        if addr in self.funcs and self.funcs[addr].insns:
            return self.funcs[addr]
        before = [x for x in self.starts if x < addr]
        f = self.funcs[before[-1]] if before else None
        if f is None or not f.insns or addr not in {a for a, _, _ in f.insns}:
            raise SystemExit(f"size report: no code at {addr:#x}")
        return f

    def analyse(self, entry):
        """(own frame, [(depth, [callee addresses])]) of the code from an entry."""
        f = self.containing(entry)
        insns = f.insns
        index = {a: i for i, (a, _, _) in enumerate(insns)}
        succs, falls_into = {}, {}
        leaders, indirect = {insns[0][0], entry}, False

        def jump_target(ops):
            t = target_of(ops)
            return t if t in index else None

        for i, (a, mnem, ops) in enumerate(insns):
            base = mnem.split(".")[0]
            nxt = insns[i + 1][0] if i + 1 < len(insns) else None
            ends = False
            if base in ("b", "bl") or COND_BRANCH.match(mnem):
                t = jump_target(ops)
                if t is not None:
                    leaders.add(t)
                ends = base == "b" or COND_BRANCH.match(mnem) or t is not None or "thumb1_case" in ops
            if base == "bx" or (base == "pop" and "pc" in ops) or ops.startswith("pc,"):
                ends = True
            if ends and nxt is not None:
                leaders.add(nxt)
        blocks, cur = {}, None
        for ins in insns:
            if ins[0] in leaders:
                cur = ins[0]
                blocks[cur] = []
            blocks[cur].append(ins)
        order = sorted(blocks)
        for k, b in enumerate(order):
            a, mnem, ops = blocks[b][-1]
            base = mnem.split(".")[0]
            nxt = order[k + 1] if k + 1 < len(order) else None
            t = jump_target(ops) if (base in ("b", "bl") or COND_BRANCH.match(mnem)) else None
            if base == "bx" and ops.strip() == "lr" or (base == "pop" and "pc" in ops):
                succs[b] = []
            elif base == "bx" or ops.startswith("pc,") or (base == "bl" and "thumb1_case" in ops):
                succs[b], indirect = None, True   # jump table: any block not reached otherwise
            elif base == "b" or (base == "bl" and t is not None):
                succs[b] = [t] if t is not None else []   # outside: a tail call, counted below
            elif COND_BRANCH.match(mnem):
                succs[b] = ([t] if t is not None else []) + ([nxt] if nxt is not None else [])
            elif nxt is not None:
                succs[b] = [nxt]
            else:   # runs on into the next function (after a call: a call that never returns)
                later = [x for x in self.starts if x > a]
                succs[b] = []
                if later and base != "bl":
                    falls_into[b] = later[0]

        depth_in = {}
        frame = 0
        sites = []
        jump_depth = 0

        def run(start_blocks):
            nonlocal frame, jump_depth
            work = list(start_blocks)
            while work:
                b = work.pop()
                d = depth_in[b]
                for i, (a, mnem, ops) in enumerate(blocks[b]):
                    base = mnem.split(".")[0]
                    dst = ops.split(",")[0].strip()
                    if base == "push":
                        d += 4 * len(registers(ops))
                    elif base == "pop":
                        d -= 4 * len(registers(ops))
                    elif base in ("sub", "add") and dst == "sp":
                        m = re.match(r"^sp, (?:sp, )?#(\d+)", ops)
                        if not m:
                            raise SystemExit(f"size report: {f.name} sets sp from a register at {a:#x}; "
                                             "its stack cannot be bounded")
                        d += int(m.group(1)) if base == "sub" else -int(m.group(1))
                    elif dst == "sp" or re.search(r"\bsp!", ops):
                        raise SystemExit(f"size report: {f.name} changes sp at {a:#x} in a way not followed here")
                    frame = max(frame, d)
                    if d > STACK_LIMIT:
                        raise SystemExit(f"size report: the stack of {f.name} grows in a loop")
                    if base == "bl" and jump_target(ops) is None:
                        sites.append((d, [target_of(ops)]))
                    elif base == "b" and jump_target(ops) is None and not COND_BRANCH.match(mnem):
                        sites.append((d, [target_of(ops)]))   # tail call
                    elif COND_BRANCH.match(mnem) and jump_target(ops) is None:
                        sites.append((d, [target_of(ops)]))
                    elif base == "blx":
                        reg = ops.strip()
                        targets = self.vtable_slot(blocks[b], i, reg)
                        if targets is None and f.name == "Reset_Handler":
                            targets = self.reset_targets
                        if targets is None:
                            raise SystemExit(f"size report: indirect call in {f.name} at {a:#x}; "
                                             "its targets are unknown")
                        sites.append((d, targets))
                if b in falls_into:
                    sites.append((d, [falls_into[b]]))
                if succs[b] is None:
                    jump_depth = max(jump_depth, d)
                    continue
                for s in succs[b]:
                    if s not in depth_in or depth_in[s] < d:
                        depth_in[s] = d
                        work.append(s)

        depth_in[entry] = 0
        run([entry])
        # Blocks a jump table reaches; without one, what is left is padding.
        unreached = [b for b in order if b not in depth_in]
        if unreached and indirect:
            for b in unreached:
                depth_in[b] = jump_depth
            run(unreached)
        return frame, sites

    def worst(self, addr):
        """(bytes, [(name, bytes it adds)]) of the deepest stack from a function's entry."""
        if addr in self.memo:
            return self.memo[addr]
        f = self.containing(addr)
        if addr in self.active:
            cycle = [self.containing(a).name for a in self.active[self.active.index(addr):]] + [f.name]
            raise SystemExit("size report: recursion, " + " > ".join(cycle) + "; its stack cannot be bounded")
        self.active.append(addr)
        frame, sites = self.analyse(addr)
        if addr == f.addr:
            self.frames[addr] = frame
        best = (frame, [(f.name, frame)])
        for depth, targets in sites:
            for t in targets:
                n, path = self.worst(t)
                if depth + n > best[0]:
                    best = (depth + n, [(f.name, depth)] + path)
        self.active.pop()
        self.memo[addr] = best
        return best


def stack_usage_files(prefix, directory):
    """{(source file name, base name, clones): [(bytes, qualifiers)]} from the LTRANS .su files."""
    entries = []
    for path in sorted(glob.glob(os.path.join(directory, "*.ltrans.su"))):
        with open(path) as fh:
            for line in fh:
                parts = line.rstrip("\n").split("\t")
                if len(parts) != 3:
                    continue
                where, name = parts[0].rsplit(":", 1)
                entries.append((os.path.basename(where.split(":")[0]), name.strip(), int(parts[1]), parts[2]))
    mangled = [e[1].split(".")[0] for e in entries if e[1].startswith("_Z")]
    plain = dict(zip(mangled, run([prefix + "c++filt"] + mangled).splitlines())) if mangled else {}
    out = {}
    for where, name, n, qual in entries:
        if name.startswith("_Z"):
            stem, _, rest = name.partition(".")
            name = plain.get(stem, stem) + "".join(f" [clone .{c}]" for c in rest.split(".") if c and not c.isdigit())
        out.setdefault((where,) + function_key(name), []).append((n, qual))
    return out


def function_key(name):
    """(base name, clone kinds): how a .su file and the symbol table both name a function."""
    # lto_priv only renames a local symbol; the .su keeps the plain name.
    clones = tuple(c for c in re.findall(r"\[clone \.([A-Za-z_]+)(?:\.\d+)?\]", name) if c != "lto_priv")
    name = re.sub(r"\s*\[clone [^\]]*\]", "", name).replace("(anonymous namespace)", "anonymous")
    if "(" not in name and "." in name:   # a .su's clone: endTransmission.constprop.isra
        name, *rest = name.split(".")
        clones = tuple(c for c in rest if c and not c.isdigit() and c != "lto_priv")
    depth, cut = 0, len(name)
    for i, ch in enumerate(name):   # the parameter list: the first '(' at template depth 0
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        elif ch == "(" and depth == 0 and not name[:i].endswith("operator"):
            cut = i
            break
    base = re.sub(r"<.*>$", "", name[:cut].strip()).split("::")[-1]
    return base, clones


def cross_check(prefix, elf, su, frames, funcs):
    """(agreeing, [(name, disassembly, .su)]) over the functions both name unambiguously."""
    source = {}
    for line in run([prefix + "nm", "-l", "-C", "--defined-only", elf]).splitlines():
        m = re.match(r"^([0-9a-f]+) [tTwW] ([^\t]+)\t(.*):\d+$", line)
        if m:
            source.setdefault(int(m.group(1), 16) & ~1, os.path.basename(m.group(3)))
    anywhere = {}   # for a symbol without line info: its name alone
    for key, found in su.items():
        anywhere.setdefault(key[1:], []).extend(found)
    keyed = {}
    for addr in frames:
        keyed.setdefault((source.get(addr),) + function_key(funcs[addr].name), []).append(addr)
    agree, differ = 0, []
    for key, addrs in keyed.items():
        found = su.get(key, []) if key[0] else anywhere.get(key[1:], [])
        if len(addrs) != 1 or len(found) != 1:
            continue
        n, qual = found[0]
        if n == frames[addrs[0]] and qual.strip() == "static":
            agree += 1
        else:
            differ.append((funcs[addrs[0]].name, frames[addrs[0]], f"{n} {qual.strip()}"))
    return agree, differ


def vector_table(image, funcs, size):
    """[(vector name, priority, handler address)] of every vector the image fills."""
    out = []
    for slot in range(1, size // 4):
        value = image.word(slot * 4)
        if slot == 1 or value == 0:
            continue
        addr = value & ~1
        if addr not in funcs:
            raise SystemExit(f"size report: vector {slot} points at no function ({value:#x})")
        name, prio = SYSTEM_VECTORS.get(slot, (None, None))
        if funcs[addr].name != "Default_Handler":
            name = funcs[addr].name
        elif name is None:
            name = f"IRQ{slot - 16}"
        if prio is None:
            prio = PRIORITY.get(name, 0)
        out.append((name, prio, addr))
    return out


def show_path(path):
    return " > ".join(f"{name.split('(')[0]} {n}" for name, n in path)


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
    ap.add_argument("--su-dir", help="where the link left its LTRANS .su files (default: the ELF's folder)")
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

    over_stack, failed = stack_report(a, funcs, an, stack)
    over += over_stack

    if over or failed:
        if over:
            print("size report: over budget: " + ", ".join(over))
        if failed:
            print("size report: failed: " + ", ".join(failed))
        return 1
    print("size report: every figure within its budget")
    return 0


def stack_report(a, funcs, an, stack):
    """Prints the stack figures; returns (what is over budget, checks that failed)."""
    sized = {}
    for line in run([a.prefix + "nm", "-S", a.elf]).splitlines():
        parts = line.split()
        if len(parts) == 4:
            sized[parts[3]] = (int(parts[0], 16), int(parts[1], 16))
        elif len(parts) == 3:
            sized.setdefault(parts[2], (int(parts[0], 16), 0))
    image = Image(a.elf)
    st = StackAnalysis(funcs, image, sized, an.addr_of)
    table = [size for name, (addr, size) in sized.items() if name.endswith("__vectors") and addr == 0]
    if not table:
        raise SystemExit("size report: no vector table (__vectors) at 0x00000000")
    vectors = vector_table(image, funcs, table[0])

    print("-- stack: worst case in bytes, calls included (path: bytes each function adds) --")
    roots = [("setup", st.named["setup()"]), ("loop", st.named["loop()"])]
    main_n, main_path = st.worst(st.named["Reset_Handler"])
    for label, addr in roots:
        n, path = st.worst(addr)
        print(f"  {label:18s} {n:5d}   {show_path(path)}")
    print(f"  {'main stack':18s} {main_n:5d}   {show_path(main_path)}")
    handlers = {}
    for name, prio, addr in vectors:
        handlers.setdefault(addr, []).append((name, prio))
    by_level = {}
    for addr, names in handlers.items():
        n, path = st.worst(addr)
        label = names[0][0] if funcs[addr].name != "Default_Handler" else "Default_Handler"
        prios = sorted({p for _, p in names})
        if funcs[addr].name == "Default_Handler":
            print(f"  {label:18s} {n:5d}   {show_path(path)}   (unhandled vectors, NMI, HardFault; levels "
                  f"{', '.join(map(str, prios))})")
        else:
            print(f"  {label:18s} {n:5d}   {show_path(path)}   (level {prios[0]})")
        for name, p in names:
            if p not in by_level or n > by_level[p][1]:
                by_level[p] = (name, n)
    chain = [(by_level[p][0], p, EXCEPTION_FRAME + by_level[p][1]) for p in sorted(by_level, reverse=True)]
    nesting = sum(c[2] for c in chain)
    print(f"  {'deepest nesting':18s} {nesting:5d}   " +
          " > ".join(f"{name} ({p}) {n}" for name, p, n in chain) +
          f"   ({EXCEPTION_FRAME} of exception entry each)")
    total = main_n + nesting
    verdict = "ok" if total <= stack else "OVER"
    print(f"  total {total} (main stack {main_n} + nesting {nesting}) against {stack} left for the stack  {verdict}")

    su_dir = a.su_dir or os.path.dirname(os.path.abspath(a.elf))
    su = stack_usage_files(a.prefix, su_dir)
    failed = []
    if not su:
        print(f"  no LTRANS .su files in {su_dir}: the cross-check needs -fstack-usage at link time")
        failed.append("stack frames unchecked")
    else:
        agree, differ = cross_check(a.prefix, a.elf, su, st.frames, funcs)
        print(f"  frames of the call graph's {len(st.frames)} functions: {agree} named by the compiler's "
              f".su files agree with the disassembly, {len(differ)} differ")
        for name, mine, theirs in differ:
            print(f"      {name[:60]:60s} disassembly {mine}, .su {theirs}")
        if differ:
            failed.append("stack frames disagree with the .su files")
    return (["stack"] if total > stack else []), failed


if __name__ == "__main__":
    sys.exit(main())

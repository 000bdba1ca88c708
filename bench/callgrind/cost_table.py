#!/usr/bin/env python3
"""Splits a callgrind profile of tftp_cycles into the driver's own instructions
by function group, the boot-service and MNP calls the driver makes, and the
share of the platform and the peer. Prints Markdown rows for one block size.

  cost_table.py <source root> <blksize> <cycles> <MiB> <callgrind.out> [<callgrind.out> ...]

Cost in a function of no part of the tree (libc, the C++ library's templates)
goes to its callers in proportion to the cost of their calls, until it reaches
a function of the driver, the platform, the peer or the bench itself; the
C library's memory functions reaching the driver are its copies.
"""
import collections
import re
import sys

DRIVER_DIRS = ("driver/", "instance/", "net/", "dhcp/", "wirl/", "pxe/", "tftp/")
MEM_FUNCS = re.compile(r"^(__)?(mem(cpy|move|set|cmp)|bcmp)")
GROUPS = ("copies", "checksum", "reassembly", "events", "arp_igmp", "rest")
EVENT_SERVICES = {"CreateEvent", "CreateEventEx", "CloseEvent", "SetTimer", "SignalEvent", "RaiseTpl",
                  "RestoreTpl"}


def short_name(fn):
    base = fn.replace("(anonymous namespace)", "").split("(")[0]
    return base.split("::")[-1].split(".")[0]


def read(path):
    self_cost = collections.Counter()
    fl_of = {}
    arcs = collections.Counter()  # (caller, callee) -> inclusive cost
    counts = collections.Counter()  # (caller, callee) -> calls
    fl = fn = cfn = None
    pending = False
    with open(path) as f:
        for line in f:
            if line.startswith("fl="):
                fl = line[3:].rstrip("\n")
            elif line.startswith("fn="):
                fn = line[3:].rstrip("\n")
                fl_of.setdefault(fn, fl)
            elif line.startswith("cfn="):
                cfn = line[4:].rstrip("\n")
            elif line.startswith("calls="):
                counts[(fn, cfn)] += int(line[6:].split()[0])
                pending = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                if len(parts) < 2:
                    continue
                if pending:
                    arcs[(fn, cfn)] += int(parts[1])
                    pending = False
                else:
                    self_cost[fn] += int(parts[1])
    return self_cost, fl_of, arcs, counts


def main():
    root, blksize, cycles, mib = sys.argv[1].rstrip("/") + "/", int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    self_cost, fl_of, arcs, counts = collections.Counter(), {}, collections.Counter(), collections.Counter()
    for path in sys.argv[5:]:
        s, f, a, c = read(path)
        self_cost.update(s)
        arcs.update(a)
        counts.update(c)
        for k, v in f.items():
            fl_of.setdefault(k, v)

    def owner(fn):
        fl = fl_of.get(fn) or ""
        if not fl.startswith(root):
            return None
        rel = fl[len(root):]
        if rel.startswith(DRIVER_DIRS):
            return "driver"
        for part in ("platform", "peers", "bench", "tools"):
            if rel.startswith(part + "/"):
                return part
        return None

    def group(fn):
        rel = (fl_of.get(fn) or "")[len(root):]
        name = short_name(fn)
        if "Checksum" in name or "OnesSum" in name:
            return "checksum"
        if name.startswith("Copy"):
            return "copies"
        if rel.startswith(("net/reassembly", "net/ipv4_receive")):
            return "reassembly"
        if rel.startswith(("net/arp", "net/igmp")):
            return "arp_igmp"
        if "Notify" in name or "Timer" in name or "Event" in name:
            return "events"
        return "rest"

    callers = collections.defaultdict(list)
    for (caller, callee), cost in arcs.items():
        if caller != callee and cost > 0:
            callers[callee].append((caller, cost))

    # Mass of an unowned function, tagged by whether it came from a memory function.
    totals = collections.Counter()  # (owner, group) -> instructions
    mass = collections.Counter()
    for fn, c in self_cost.items():
        o = owner(fn)
        if o is None:
            mass[(fn, bool(MEM_FUNCS.match(short_name(fn))))] += c
        else:
            totals[(o, group(fn) if o == "driver" else o)] += c
    for _ in range(64):
        if not mass:
            break
        nxt = collections.Counter()
        for (fn, mem), m in mass.items():
            up = callers.get(fn)
            if not up:
                totals[("other", "other")] += m
                continue
            whole = sum(c for _, c in up)
            for caller, c in up:
                share = m * c / whole
                o = owner(caller)
                if o is None:
                    nxt[(caller, mem or bool(MEM_FUNCS.match(short_name(caller))))] += share
                elif o == "driver":
                    totals[("driver", "copies" if mem else group(caller))] += share
                else:
                    totals[(o, o)] += share
        mass = nxt
    for m in mass.values():
        totals[("other", "other")] += m

    driver = {g: totals[("driver", g)] for g in GROUPS}
    whole_driver = sum(driver.values())
    per = lambda v: v / cycles  # noqa: E731

    # Services the driver calls: their count per cycle, and for the event and
    # timer services the platform's instructions inside them.
    calls = collections.Counter()
    event_cost = 0
    for (caller, callee), n in counts.items():
        if owner(caller) == "driver" and owner(callee) == "platform":
            name = short_name(callee)
            calls[name] += n
            if name in EVENT_SERVICES:
                event_cost += arcs[(caller, callee)]

    row = [str(blksize), str(cycles), f"{per(whole_driver):,.0f}", f"{whole_driver / mib / 1e6:,.2f} M"]
    row += [f"{per(driver[g]):,.0f}" for g in GROUPS]
    print("DRIVER | " + " | ".join(row) + " |")
    wanted = ("CreateEvent", "CloseEvent", "SetTimer", "CheckEvent", "SignalEvent", "MnpTransmit", "MnpReceive",
              "MnpPoll", "AllocatePool", "FreePool")
    call_text = ", ".join(f"{n} {calls[n] / cycles:.2f}" for n in wanted if calls[n] / cycles >= 0.005)
    print(f"CALLS | {blksize} | {call_text} | {per(event_cost):,.0f} |")
    platform, peers, bench, other = (totals[(k, k)] for k in ("platform", "peers", "bench", "other"))
    tools = totals[("tools", "tools")]
    print(f"SPLIT | {blksize} | {per(whole_driver):,.0f} | {per(platform):,.0f} | {per(peers):,.0f} | "
          f"{per(bench + tools + other):,.0f} | {per(whole_driver + platform + peers + bench + tools + other):,.0f} |")


main()

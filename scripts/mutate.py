#!/usr/bin/env python3
"""A small, fixed mutation pass: how many typical faults do the suites catch?

Each mutant below puts one fault (a flipped comparison, an off-by-one bound,
a dropped branch or cleanup call, a wrong constant) into one core file. For
each one in turn the script rewrites the file, rebuilds only the test programs
of that area (niced, -j2), runs them with a time limit and puts the file back.
A mutant counts as caught when a test program fails or times out, twice in a
row (a suite on real time can fail once by chance on a loaded machine); one
that does not compile is reported as such and counted as neither.

    scripts/mutate.py [--build build] [--area graph] [--only R1,G3] [--list]

The list is fixed so that two runs (before and after changing the suites)
count the same faults. Run it from a clean tree: it refuses to start when a
mutated file has uncommitted changes, and restores every file it touches.
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

PW = ["pw_params_tests", "pw_graph_tests", "pw_routing_tests", "pw_check_tool_tests",
      "pipewire_audio_system_tests", "pw_engine_tests", "audio_backend_tests"]

# The test programs each area's mutants are judged by (its own suites).
AREAS = {
    "render": ["render_tests"],
    "graph": ["graph_tests"],
    "control": ["engine_control_tests", "router_stress_tests"],
    "devices": ["device_model_tests"],
    "dispatch": ["dispatch_tests"],
    "support": ["support_tests"],
    "sim": ["sim_tests", "sim_realtime_tests"],
    "pipewire": PW,
    "net": ["feedback_tests", "feedback_net_tests"],
    "app": ["app_model_tests", "app_frame_tests"],
}

# (id, area, file, original text (unique in the file), faulty text)
MUTANTS = [
    ("R1", "render", "render/cl_render.cpp",
     "slot >= 0 && slot < r->slot_count;", "slot >= 0 && slot <= r->slot_count;"),
    ("R2", "render", "render/cl_render.cpp",
     "  if (end > frames) end = frames;\n", "  if (end > frames) end = frames + 1;\n"),
    ("R3", "render", "render/cl_render.cpp",
     "v[n] = (v[2 * n] + v[2 * n + 1]) * 0.5f;", "v[n] = (v[2 * n] + v[2 * n + 1]) * 1.0f;"),
    ("R4", "render", "render/cl_render.cpp",
     "if (s.fade_step == 0 && wanted != s.delay_current) {",
     "if (s.fade_step == 0 && wanted == s.delay_current) {"),
    ("R5", "render", "render/cl_render.cpp",
     "y.right < y.channel_count && y.right != y.left;", "y.right < y.channel_count;"),
    ("R6", "render", "render/cl_render.cpp",
     "bits = bits > 0x7f800000 ? 0 : bits;", "bits = bits > 0x7f800000 ? bits : bits;"),
    ("R7", "render", "render/cl_render.cpp",
     "  if (!(gap >= 1.0)) return 0;\n", "  if (!(gap >= 1.0) || frames > 0) return 0;\n"),
    ("G1", "graph", "engine/graph/latency_model.cpp",
     "const int64_t pad = slowest - latency[i];", "const int64_t pad = latency[i] - slowest;"),
    ("G2", "graph", "engine/graph/latency_model.cpp",
     "std::max<int64_t>(inputs[i].userOffsetMs, 0)", "std::min<int64_t>(inputs[i].userOffsetMs, 0)"),
    ("G3", "graph", "engine/graph/channel_map.cpp",
     "l >= 0 && l < n && r >= 0 && r < n && l != r;", "l >= 0 && l <= n && r >= 0 && r < n && l != r;"),
    ("G4", "graph", "engine/graph/broadcast_session.cpp",
     "sum(outputStreams) >= expectedChannels && active.size()",
     "sum(outputStreams) >= expectedChannels || active.size()"),
    ("G5", "graph", "engine/graph/broadcast_session.cpp",
     "  if (aggregateID_ != kUnknownObject) env_.system.destroyAggregateDevice(aggregateID_);\n",
     "\n"),
    ("G6", "graph", "engine/graph/rate_journal.cpp",
     "if (entries.erase(uid) > 0) save(entries, file);", "entries.erase(uid);"),
    ("G7", "graph", "engine/graph/broadcast_session.cpp",
     "std::fabs(current - workingRate) <= kRateTolerance) continue;",
     "std::fabs(current - workingRate) > kRateTolerance) continue;"),
    ("C1", "control", "engine/control/router_supervision.cpp",
     "    if (mirror && device.isDefaultOutput) continue;\n    // One aggregate entry",
     "    // One aggregate entry"),
    ("C2", "control", "engine/control/router_supervision.cpp",
     "return when <= now - kAutomaticRebuildWindow;", "return when >= now - kAutomaticRebuildWindow;"),
    ("C3", "control", "engine/control/router_supervision.cpp",
     "if (present.count(slot.uid) == 0) lost.push_back(&slot);",
     "if (present.count(slot.uid) != 0) lost.push_back(&slot);"),
    ("C4", "control", "engine/control/router_supervision.cpp",
     "const bool defaultChanged = defaultUID != lastDefaultUID;",
     "const bool defaultChanged = defaultUID == lastDefaultUID;"),
    ("C5", "control", "engine/control/audio_router.cpp",
     "it->volume = clampVolume(volume);", "it->volume = volume;"),
    ("C6", "control", "engine/control/audio_router.cpp",
     "if (live.render == nullptr || live.probe) return;", "if (live.render == nullptr) return;"),
    ("C7", "control", "engine/control/device_catalog.cpp",
     "kPropIsHidden, kScopeGlobal, 0) != 0;", "kPropIsHidden, kScopeGlobal, 0) == 0;"),
    ("C8", "control", "engine/control/device_catalog.cpp",
     "  if (list == devices_) return;\n", "\n"),
    ("D1", "devices", "engine/devices/device_kind.cpp",
     'contains(n, "headset") || contains(n, "headphone")',
     'contains(n, "headset") && contains(n, "headphone")'),
    ("D2", "devices", "engine/devices/device_kind.cpp",
     'if (isLaptop || contains(n, "macbook"))', 'if (isLaptop && contains(n, "macbook"))'),
    ("X1", "dispatch", "engine/dispatch/virtual_executor.cpp",
     "if (!due || *due > horizon) return done();", "if (!due || *due >= horizon) return done();"),
    ("X2", "dispatch", "engine/dispatch/serial_queue.cpp",
     "if (name.size() <= kLimit) return name;", "if (name.size() < kLimit) return name;"),
    ("S1", "support", "support/settings_codec.cpp",
     "if (open_.size() >= maxNestingDepth) {", "if (open_.size() > maxNestingDepth) {"),
    ("S2", "support", "support/settings_codec.cpp",
     "if (integerDigits < static_cast<std::int64_t>(digits.size())) return std::nullopt;",
     "if (integerDigits <= static_cast<std::int64_t>(digits.size())) return std::nullopt;"),
    ("S3", "support", "support/log.cpp",
     "} else if (lead >= 0xF0 && lead <= 0xF4) {", "} else if (lead >= 0xF0 && lead <= 0xF5) {"),
    ("S4", "support", "support/log.cpp",
     "for (int n = keep - 1; n >= 1; --n) {", "for (int n = keep - 1; n > 1; --n) {"),
    ("S5", "support", "support/update_policy.cpp",
     "if (decoded == '/' || decoded == '\\\\') return std::nullopt;",
     "if (decoded == '/') return std::nullopt;"),
    ("H1", "sim", "engine/hal/sim/sim_io.cpp",
     "pair[1] >= 1 && pair[0] <= channels &&", "pair[1] >= 1 && pair[0] < channels &&"),
    ("H2", "sim", "engine/hal/sim/sim_io.cpp",
     "stalled.count(run.device) > 0 || (captureBlocked && layout.hasTapEntries);",
     "stalled.count(run.device) > 0;"),
    ("H3", "sim", "engine/hal/sim/sim_audio_system.cpp",
     "if (!sub.joinAt || now < *sub.joinAt - kTimeTolerance) continue;",
     "if (!sub.joinAt || now > *sub.joinAt - kTimeTolerance) continue;"),
    ("H4", "sim", "engine/hal/sim/sim_audio_system.cpp",
     "feed.split = options.tapFormat.splitStreams && feed.channels > 1;",
     "feed.split = options.tapFormat.splitStreams && feed.channels > 2;"),
    ("P1", "pipewire", "engine/hal/pipewire/pw_params.cpp",
     ": std::floor(value + 0.5));", ": std::floor(value));"),
    ("P2", "pipewire", "engine/hal/pipewire/pw_params.cpp",
     "for (size_t i = v.size() > 1 ? 1 : 0; i < v.size(); ++i) {",
     "for (size_t i = 0; i < v.size(); ++i) {"),
    ("P3", "pipewire", "engine/hal/pipewire/pw_device_facts.cpp",
     'if (api == "bluez5" || bus == "bluetooth") {', 'if (api == "bluez5" && bus == "bluetooth") {'),
    ("P4", "pipewire", "engine/hal/pipewire/pipewire_audio_system.cpp",
     "if (best.empty() || priority > bestPriority) {", "if (best.empty() || priority < bestPriority) {"),
    ("P5", "pipewire", "engine/hal/pipewire/pipewire_audio_system.cpp",
     "if (node == f.nodeId() || node == f.lastDriverId()) notify",
     "if (node == f.nodeId()) notify"),
    ("P6", "pipewire", "engine/hal/pipewire/pw_aggregate.cpp",
     "  self->timeline_ += cycle.missedFrames;\n", "\n"),
    ("N1", "net", "support/feedback/http_client.cpp",
     "if (redirects >= maxRedirects) throw", "if (redirects > maxRedirects) throw"),
    ("N2", "net", "support/feedback/http_client.cpp",
     "if (sink->body.size() + n > sink->limit) {",
     "if (sink->body.size() > sink->limit) {"),
    ("N3", "net", "support/feedback/feedback_report.cpp",
     "if (data.size() > maxBytes) throw", "if (data.size() > maxBytes + 1) throw"),
    ("N4", "net", "support/feedback/feedback_sanitizer.cpp",
     "if (feeds <= 2) out.push_back(c);", "if (feeds <= 3) out.push_back(c);"),
    ("A1", "app", "app/model/app_model.cpp",
     "if (captureBlocked_ && !isSharing()) {", "if (captureBlocked_) {"),
    ("A2", "app", "app/model/app_model.cpp",
     "if (mirror && defaultUID && device.uid == *defaultUID) continue;",
     "if (mirror && defaultUID && device.uid != *defaultUID) continue;"),
    ("A3", "app", "app/model/app_model.cpp",
     "  saveTask_.cancel();\n  saveTask_ = main_.postAfter", "  saveTask_ = main_.postAfter"),
    ("A4", "app", "app/model/app_model.cpp",
     "if (value < kMeterFloor) value = 0.0f;", "if (value < 0.0f) value = 0.0f;"),
    ("A5", "app", "app/model/app_model.cpp",
     "l->second * kMeterDecay : 0.0f;", "l->second : 0.0f;"),
    ("A6", "app", "app/model/app_model.cpp",
     "poll + 1 >= kProbeListenPolls", "poll >= kProbeListenPolls"),
    ("A7", "app", "app/model/app_model.cpp",
     "return std::llround(clampPercent(value));",
     "return static_cast<std::int64_t>(clampPercent(value));"),
    ("A8", "app", "app/model/app_model.cpp",
     "case StopReason::Kind::sleep:\n      setEngineState(EngineState::rebuilding());",
     "case StopReason::Kind::sleep:\n      setEngineState(EngineState::off());"),
    ("A9", "app", "app/model/app_model.cpp",
     "if (!engineState_.is(Kind::running) || lostUIDs_.empty()) return std::nullopt;",
     "if (lostUIDs_.empty()) return std::nullopt;"),
]


def run(cmd, timeout=None, cwd=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, timeout=timeout, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        return "timeout", (e.stdout or b"").decode(errors="replace") if isinstance(
            e.stdout, bytes) else (e.stdout or "")


def build(build_dir, targets):
    cmd = ["nice", "-n", "15", "cmake", "--build", str(build_dir), "-j2", "--target", *targets]
    return run(cmd)


def available(build_dir, programs):
    out = []
    for name in programs:
        hits = list(Path(build_dir).rglob(name))
        hits = [h for h in hits if h.is_file() and os.access(h, os.X_OK)]
        if hits:
            out.append(hits[0])
    return out


def judge(build_dir, programs, timeout, show=False):
    """The first failing program's name, or None when every program passed."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    for exe in available(build_dir, programs):
        try:
            p = subprocess.run(["nice", "-n", "15", str(exe), "--gtest_brief=1"], timeout=timeout,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               env=env, cwd=exe.parent)
            if p.returncode != 0:
                if show:
                    print(p.stdout[-4000:], file=sys.stderr)
                return exe.name
        except subprocess.TimeoutExpired:
            return exe.name + " (timeout)"
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=str(ROOT / "build"))
    ap.add_argument("--area", action="append")
    ap.add_argument("--only")
    ap.add_argument("--timeout", type=int, default=180)
    ap.add_argument("--list", action="store_true")
    args = ap.parse_args()
    args.build = str(Path(args.build).resolve())

    chosen = [m for m in MUTANTS if (not args.area or m[1] in args.area) and
              (not args.only or m[0] in args.only.split(","))]
    if args.area:  # in the order the areas were named
        chosen.sort(key=lambda m: args.area.index(m[1]))
    if args.list:
        for m in chosen:
            print(f"{m[0]:4} {m[1]:9} {m[2]}")
        return 0

    files = sorted({m[2] for m in chosen})
    dirty = run(["git", "status", "--porcelain", "--", *files], cwd=ROOT)[1].strip()
    if dirty:
        print("uncommitted changes in files the pass would mutate:\n" + dirty, file=sys.stderr)
        return 2
    for ident, _, path, old, _ in chosen:
        count = (ROOT / path).read_text().count(old)
        if count != 1:
            print(f"{ident}: the original text occurs {count} times in {path}", file=sys.stderr)
            return 2

    # Everything must pass unmutated, or the pass counts nothing real.
    areas = sorted({m[1] for m in chosen})
    programs = [p for a in areas for p in AREAS[a]]
    rc, out = build(args.build, programs)
    if rc != 0:
        print(out[-3000:], file=sys.stderr)
        return 2
    failing = judge(args.build, programs, args.timeout, show=True)
    if failing:
        print(f"unmutated tree fails: {failing}", file=sys.stderr)
        return 2

    tally = {}
    started = time.monotonic()
    for ident, area, path, old, new in chosen:
        source = ROOT / path
        original = source.read_text()
        t0 = time.monotonic()
        try:
            source.write_text(original.replace(old, new, 1))
            rc, _ = build(args.build, AREAS[area])
            if rc != 0:
                verdict = "stillborn"
            else:
                failing = judge(args.build, AREAS[area], args.timeout)
                # A real-time suite can fail by chance on a loaded machine:
                # a catch counts only when the failing program fails again.
                if failing and judge(args.build, [failing.split()[0]], args.timeout):
                    verdict = f"caught by {failing}"
                else:
                    verdict = "SURVIVED" + (f" (one failure of {failing}, not repeated)"
                                            if failing else "")
        finally:
            source.write_text(original)
        caught, total, born = tally.get(area, (0, 0, 0))
        tally[area] = (caught + verdict.startswith("caught"), total + 1,
                       born + (verdict != "stillborn"))
        print(f"{ident:4} {area:9} {verdict}  ({time.monotonic() - t0:.0f} s)", flush=True)

    build(args.build, programs)  # leave the build matching the tree
    print("\narea      caught / mutants")
    for area in sorted(tally):
        caught, total, born = tally[area]
        print(f"{area:9} {caught} / {born}" + (f" ({total - born} stillborn)" if total != born else ""))
    caught = sum(v[0] for v in tally.values())
    born = sum(v[2] for v in tally.values())
    print(f"total     {caught} / {born}   in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())

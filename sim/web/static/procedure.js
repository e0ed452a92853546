// Check procedures at the bench: Record (each command line and its answer, each click on
// an input, a key or the DDR size, each part that changed, into steps; Save downloads the
// file) and Run (a file run on the bench's board, its steps live, the operator's
// questions as dialogs). The server does both (sim/web/procedures.py); this draws them.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const P = { mode: "idle", steps: [], suggestions: [], asking: null, report: null };
  window.procedure = P;

  function setAttr(el, state, text) {
    el.dataset.state = state;
    if (text !== undefined) el.textContent = text;
  }

  function say(ok, text) { setAttr($("proc-result"), ok ? "ok" : "refused", text); }

  // A recorded step as it reads in the file, on one line.
  function stepText(s) {
    const kind = Object.keys(s).find((k) => k !== "name" && k !== "expect" && k !== "absent" &&
      ["start", "type", "check", "set", "press", "ddr", "power", "leave", "tell", "ask"].includes(k));
    let t = kind + ": " + s[kind];
    for (const [k, v] of Object.entries(s)) {
      if (k === kind) continue;
      t += "  " + k + ": " + (Array.isArray(v) ? v.map((x) => (typeof x === "string" ? JSON.stringify(x) : "/" + x.re + "/")).join(", ") : v);
    }
    return t.length > 200 ? t.slice(0, 200) + "…" : t;
  }

  function buttons() {
    const m = P.mode;
    $("record").disabled = m !== "idle" && m !== "saving" && m !== "done";
    $("record-stop").disabled = m !== "recording";
    $("run").disabled = m === "recording" || m === "running";
    $("run-stop").disabled = m !== "running";
    $("proc-save-panel").hidden = m !== "saving";
    setAttr($("proc-mode"), m, { idle: "", recording: "● recording", saving: "— choose the patterns, then Save",
      running: "running", done: P.report ? "run " + P.report.result : "" }[m]);
  }

  function list() { return $("proc-steps"); }

  function drawRecorded(steps) {
    P.steps = steps;
    const ol = list();
    ol.textContent = "";
    ol.dataset.what = "recording";
    steps.forEach((s, i) => {
      const li = document.createElement("li");
      li.dataset.step = String(i + 1);
      li.dataset.kind = Object.keys(s)[0];
      li.dataset.state = "recorded";
      li.textContent = stepText(s);
      ol.appendChild(li);
    });
    ol.scrollTop = ol.scrollHeight;
  }

  function drawRun(begin) {
    const ol = list();
    ol.textContent = "";
    ol.dataset.what = "run";
    $("proc-title").textContent = begin.procedure + " on the " + begin.target;
    for (const s of begin.steps) {
      const li = document.createElement("li");
      li.dataset.step = String(s.step);
      li.dataset.kind = s.kind;
      li.dataset.state = "";
      li.innerHTML = '<span class="status"></span> <span class="text"></span><div class="shown"></div>';
      li.querySelector(".text").textContent = s.text;
      ol.appendChild(li);
    }
    for (const r of begin.rows || []) drawRow(r);
  }

  function drawRow(r) {
    const li = list().querySelector('li[data-step="' + r.step + '"]');
    if (!li) return;
    li.dataset.state = r.status;
    li.querySelector(".status").textContent = r.status === "running" ? "…" : r.status;
    const shown = r.shown || "";
    const el = li.querySelector(".shown");
    el.textContent = r.status === "failed" ? shown : shown.length > 240 ? shown.slice(0, 240) + "…" : shown;
    el.title = shown;
    if (r.status === "running" || r.status === "failed") li.scrollIntoView({ block: "nearest" });
  }

  function drawSuggestions(sugg) {
    P.suggestions = sugg;
    const box = $("proc-suggestions");
    box.textContent = "";
    if (!sugg.length) { box.textContent = "No volatile parts found in the answers."; return; }
    for (const s of sugg) {
      const label = document.createElement("label");
      const cb = document.createElement("input");
      cb.type = "checkbox";
      cb.value = s.id;
      cb.checked = s.checked;
      cb.dataset.kind = s.kind;
      const before = s.text.slice(0, s.at), after = s.text.slice(s.at + s.part.length);
      const mark = document.createElement("mark");
      mark.textContent = s.part;
      label.append(cb, " step " + s.step + ", " + s.what + ": " + before, mark, after);
      box.appendChild(label);
    }
  }

  // ---- recording ------------------------------------------------------------------------

  $("record").addEventListener("click", async () => {
    const a = await bench.request({ type: "record", action: "start" });
    if (!a.ok) { say(false, a.reason); return; }
    say(true, "recording: type at the console, click the inputs, keys, DDR size");
  });
  $("record-stop").addEventListener("click", async () => {
    const a = await bench.request({ type: "record", action: "stop" });
    if (!a.ok) { say(false, a.reason); return; }
    drawRecorded(a.steps);
    drawSuggestions(a.suggestions);
    $("proc-name").value = a.name;
    P.mode = "saving";
    buttons();
    say(true, a.steps.length + " steps recorded");
  });
  $("record-save").addEventListener("click", async () => {
    const accept = [...$("proc-suggestions").querySelectorAll("input:checked")].map((c) => c.value);
    const a = await bench.request({ type: "record-save", name: $("proc-name").value, accept });
    if (!a.ok) { say(false, a.reason); return; }
    P.saved = a.text;
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([a.text], { type: "application/x-yaml" }));
    link.download = a.file;
    document.body.appendChild(link);
    link.click();
    setTimeout(() => { URL.revokeObjectURL(link.href); link.remove(); }, 1000);
    say(true, "saved as " + a.file);
  });
  $("record-discard").addEventListener("click", async () => {
    await bench.request({ type: "record", action: "discard" });
  });

  // ---- running --------------------------------------------------------------------------

  $("run").addEventListener("click", () => $("run-file").click());
  $("run-file").addEventListener("change", async () => {
    const f = $("run-file").files[0];
    if (!f) return;
    const text = await f.text();
    $("run-file").value = "";
    const a = await bench.request({ type: "procedure-run", name: f.name, text });
    if (!a.ok) say(false, a.reason);
    else say(true, "running " + f.name);
  });
  $("run-stop").addEventListener("click", () => bench.request({ type: "procedure-stop" }));

  // ---- the operator's dialog --------------------------------------------------------------

  function ask(it) {
    P.asking = it;
    const d = $("proc-dialog");
    d.dataset.kind = it.kind;
    d.dataset.ask = String(it.ask);
    $("proc-question").textContent = it.text + (it.kind === "instruction" ? ", then OK." : "");
    $("proc-yes").hidden = it.kind !== "question";
    $("proc-no").hidden = it.kind !== "question";
    $("proc-ok").hidden = it.kind === "question";
    if (!d.open) d.showModal();
  }
  async function answer(word) {
    const it = P.asking;
    if (!it) return;
    const a = await bench.request({ type: "procedure-answer", ask: it.ask, answer: word });
    if (!a.ok) say(false, a.reason);
  }
  $("proc-yes").addEventListener("click", () => answer("yes"));
  $("proc-no").addEventListener("click", () => answer("no"));
  $("proc-ok").addEventListener("click", () => answer("done"));
  $("proc-dialog").addEventListener("cancel", (e) => e.preventDefault()); // answered, not escaped

  function closeDialog(n) {
    const d = $("proc-dialog");
    if (P.asking && (n === undefined || P.asking.ask === n)) {
      P.asking = null;
      if (d.open) d.close();
    }
  }

  // ---- what the server tells ------------------------------------------------------------

  bench.onProcedure = (it) => {
    if (it.type === "hello") {
      if (it.run) { P.mode = "running"; drawRun(it.run); for (const q of it.run.asking || []) ask(q); }
      else if (it.recording) { P.mode = "recording"; drawRecorded(it.recording.steps); }
      buttons();
      return;
    }
    if (it.type === "record") {
      if (it.event === "steps") {
        drawRecorded(it.steps);
        $("proc-title").textContent = (it.recording ? "Recording on " : "Recorded on ") + it.model;
        if (it.recording) P.mode = "recording";
        else if (P.mode === "recording") P.mode = "idle";
      } else if (it.event === "discarded") {
        P.mode = "idle";
        list().textContent = "";
        $("proc-title").textContent = "";
      }
      buttons();
      return;
    }
    switch (it.event) {
      case "begin":
        P.mode = "running";
        P.report = null;
        setAttr($("proc-summary"), "", "");
        drawRun(it);
        break;
      case "step": drawRow(it.row); break;
      case "ask": ask(it); break;
      case "asked": closeDialog(it.ask); break;
      case "end":
        closeDialog();
        setAttr($("proc-result"), "", "");
        P.report = it.report;
        P.mode = "done";
        setAttr($("proc-summary"), it.report.result, it.report.procedure + ": " +
          it.report.counts.passed + " passed, " + it.report.counts.failed + " failed, " +
          it.report.counts.skipped + " skipped" + (it.report.stopped ? " — " + it.report.stopped : ""));
        break;
    }
    buttons();
  };
  buttons();
})();

// Sentrok's status page keeps itself current: it asks /api/v1/status every few seconds (the server
// answers "not modified" in a few bytes until a pass changes something) and redraws the tables
// from it as the server drew them. Texts from the database go in as text, never as markup.
"use strict";

(function () {
  const everyMs = 3000;
  const main = document.getElementById("hosts");
  if (!main) return;
  let generation = Number(document.body.dataset.generation || 0);

  function el(tag, props, children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(props || {})) {
      if (k === "text") e.textContent = v;
      else e.setAttribute(k, v);
    }
    for (const c of children || []) e.appendChild(c);
    return e;
  }

  // "2024-05-06T07:08:09+03:00": the server's wall clock, as its own pages show it.
  function full(iso) {
    return iso.slice(8, 10) + "." + iso.slice(5, 7) + "." + iso.slice(0, 4) + " " + iso.slice(11, 19);
  }
  function brief(iso) {
    return iso.slice(8, 10) + "." + iso.slice(5, 7) + " " + iso.slice(11, 16);
  }
  function two(n) {
    return String(n).padStart(2, "0");
  }
  function span(secs) {
    secs = Math.floor(secs);
    if (secs < 60) return secs + " с";
    if (secs < 3600) return Math.floor(secs / 60) + " мин " + two(secs % 60) + " с";
    if (secs < 86400) return Math.floor(secs / 3600) + " ч " + two(Math.floor((secs % 3600) / 60)) + " мин";
    return Math.floor(secs / 86400) + " д " + Math.floor((secs % 86400) / 3600) + " ч";
  }
  function percent(a) {
    if (a === null || a === undefined) return "—";
    const p = a * 100;
    let text = p.toFixed(p >= 99 && p < 100 ? 2 : 1);
    if (text.endsWith(".0")) text = text.slice(0, -2);
    return text.replace(".", ",") + " %";
  }
  function tier(a) {
    if (a === null || a === undefined) return "none";
    if (a >= 0.999) return "best";
    if (a >= 0.99) return "good";
    if (a >= 0.95) return "fair";
    return "poor";
  }

  function strip(letters) {
    const s = el("span", { class: "strip", title: "проверки за 24 часа" });
    for (let i = 0; i < letters.length; ) {
      let j = i;
      while (j < letters.length && letters[j] === letters[i]) ++j;
      s.appendChild(el("i", { class: "h" + (letters[i] === "-" ? "n" : letters[i]) + " w" + (j - i) }));
      i = j;
    }
    return s;
  }

  function row(h, depth) {
    const link = el("a", { href: "/host/" + h.id, text: h.description || "(без описания)" });
    const cells = [
      el("td", { class: "desc" }, h.maintenance === null ? [link]
        : [link, document.createTextNode(" "), el("span", { class: "maint", title: h.maintenance, text: "обслуживание" })]),
      el("td", { class: "addr", text: h.address }),
      el("td", { class: "since", text: h.since ? "с " + brief(h.since) : "—" }),
      el("td", { class: "reply", text: !h.last_check ? "—" : h.reply_ms === null ? "нет ответа" : h.reply_ms + " мс" }),
    ];
    for (const [key, label] of [["24h", "24 ч"], ["7d", "7 д"], ["30d", "30 д"]]) {
      const a = h.availability[key];
      cells.push(el("td", { class: "avail " + tier(a), "data-label": label, text: percent(a) }));
    }
    cells.push(el("td", { class: "strip" }, [strip(h.strip)]));
    return el("tr", { class: h.state + " d" + Math.min(depth, 9), "data-id": String(h.id) }, cells);
  }

  // Down hosts, each followed by those unreachable behind it; then up; then never checked.
  function sections(hosts) {
    const out = { down: [], up: [], unchecked: [] };
    const behind = new Map();
    for (const h of hosts)
      if (h.state === "unreachable") {
        if (!behind.has(h.down_ancestor)) behind.set(h.down_ancestor, []);
        behind.get(h.down_ancestor).push(h);
      }
    const placed = new Set();
    function place(h, depth) {
      if (placed.has(h.id)) return;
      placed.add(h.id);
      out.down.push([h, depth]);
      for (const d of behind.get(h.id) || []) place(d, depth + 1);
    }
    for (const h of hosts) {
      if (h.state === "down") place(h, 0);
      else if (h.state === "up") out.up.push([h, 0]);
      else if (h.state === "unchecked") out.unchecked.push([h, 0]);
    }
    for (const h of hosts) if (h.state === "unreachable" && !placed.has(h.id)) place(h, 0);
    return out;
  }

  function section(id, title, rows) {
    const head = el("tr", {}, [["desc", "Описание"], ["addr", "Адрес"], ["since", "С какого времени"], ["reply", "Ответ"],
      ["avail", "24 ч"], ["avail", "7 д"], ["avail", "30 д"], ["strip", "Последние 24 часа"]].map(
      ([c, t]) => el("th", { class: c, text: t })));
    const body = el("tbody", {}, rows.map(([h, depth]) => row(h, depth)));
    const s = el("section", { id: id }, [
      el("h2", {}, [document.createTextNode(title + " "), el("span", { class: "count", text: String(rows.length) })]),
      el("table", {}, [el("thead", {}, [head]), body]),
    ]);
    if (!rows.length) s.hidden = true;
    return s;
  }

  function passLine(s) {
    let out = "";
    if (s.running_pass) out += "Идёт проход с " + full(s.running_pass.started) + ". ";
    const p = s.last_pass;
    if (p && p.finished)
      out += "Последний проход: " + full(p.finished) + ", " + span(p.duration_seconds) + ", хостов " + p.hosts +
        ", не ответили " + p.failed + ". ";
    else if (!s.running_pass) out += "Проходов ещё не было. ";
    out += s.lease_holder ? "Проверки ведёт " + s.lease_holder + (s.monitoring ? " (этот процесс)" : "") + "."
      : "Проверки сейчас никто не ведёт.";
    return out;
  }

  function render(s) {
    const parts = sections(s.hosts);
    const unreachable = parts.down.filter(([h]) => h.state === "unreachable").length;
    document.getElementById("summary").textContent = "Не отвечают: " + (parts.down.length - unreachable) +
      " · недоступны: " + unreachable + " · отвечают: " + parts.up.length + " · не проверялись: " +
      parts.unchecked.length;
    let pass = document.getElementById("pass");
    if (!pass) {
      pass = el("p", { id: "pass" });
      document.getElementById("summary").after(pass);
    }
    pass.textContent = passLine(s);
    let problems = document.getElementById("problems");
    if (!problems) {
      problems = el("ul", { id: "problems" });
      pass.after(problems);
    }
    problems.replaceChildren(...s.problems.map((p) => el("li", { text: p })));
    problems.hidden = !s.problems.length;
    main.replaceChildren(section("down", "Не отвечают", parts.down), section("up", "Отвечают", parts.up),
      section("unchecked", "Не проверялись", parts.unchecked));
    const updated = document.getElementById("updated");
    if (updated) updated.textContent = full(s.generated);
    generation = s.generation;
    document.body.dataset.generation = String(generation);
  }

  async function poll() {
    const stale = document.getElementById("stale");
    try {
      const answer = await fetch("/api/v1/status", { cache: "no-cache", credentials: "same-origin" });
      // 503: the server is there, the hosts' state not read yet.
      if (answer.status === 503) {
        if (stale) stale.hidden = true;
        setTimeout(poll, everyMs);
        return;
      }
      if (!answer.ok) throw new Error(String(answer.status));
      const s = await answer.json();
      if (s.generation !== generation) render(s);
      if (stale) stale.hidden = true;
    } catch (e) {
      if (stale) stale.hidden = false;
    }
    setTimeout(poll, everyMs);
  }
  setTimeout(poll, everyMs);
})();

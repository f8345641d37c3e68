// The player: it reads each lesson's JSON, applies each step's changes
// going forwards and undoes them going back, and draws the step: its
// words, the source line marked, the three tables. The tool puts it inline
// in each page (the book opens from disk and fetches nothing). Its words
// are the page's too: the tool writes them, in the reader's language, into
// the element #player-words, and say() fills their {1}, {2}.
(function () {
  "use strict";
  var given = document.getElementById("player-words");
  var words = given ? JSON.parse(given.textContent) : {};
  function say(name) {
    var parts = arguments;
    return String(words[name] || name).replace(/\{(\d+)\}/g, function (whole, n) {
      return n < parts.length ? String(parts[n]) : whole;
    });
  }
  function make(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  var players = {};

  function Player(holder, data) {
    var self = this;
    var steps = data.steps;
    var procs = new Map(), descs = new Map(), objs = new Map();
    var undo = []; // what each applied step replaced
    var at = 0; // steps applied: the world after step `at`
    var root = make("div", "player");
    root.tabIndex = 0;
    root.setAttribute("role", "group");
    root.setAttribute("aria-label", say("label", data.lesson));
    root.dataset.lesson = data.lesson;
    root.appendChild(make("h3", "", say("heading")));
    var controls = make("div", "controls");
    var first = make("button", "", say("first")), back = make("button", "", say("back")),
        next = make("button", "", say("next")), last = make("button", "", say("last"));
    first.title = say("firstTitle"); back.title = say("backTitle");
    next.title = say("nextTitle"); last.title = say("lastTitle");
    var slider = make("input");
    slider.type = "range"; slider.min = 1; slider.max = steps.length; slider.value = 1;
    slider.setAttribute("aria-label", say("slider"));
    var count = make("span", "count");
    var link = make("a", "", say("link"));
    var save = make("a", "save", say("save"));
    save.title = say("saveTitle");
    [first, back, next, last, slider, count, link, save].forEach(function (c) { controls.appendChild(c); });
    var now = make("div", "now");
    now.setAttribute("aria-live", "polite");
    var code = make("div", "code");
    var tables = make("div", "tables");
    tables.setAttribute("role", "figure");
    root.appendChild(controls); root.appendChild(now); root.appendChild(code);
    root.appendChild(tables);
    holder.appendChild(root);

    // The lesson's source, once, without its anchors' ids or the calls
    // under each line: the current line is marked in it.
    var lines = {};
    var section = holder.closest("section");
    (section ? section.querySelectorAll("pre.source") : []).forEach(function (pre) {
      var copy = pre.cloneNode(true);
      copy.querySelectorAll(".calls").forEach(function (c) { c.remove(); });
      copy.querySelectorAll(".line").forEach(function (l) {
        lines[l.id] = l; l.dataset.line = l.id; l.removeAttribute("id");
      });
      code.appendChild(copy);
    });
    if (!code.firstChild) code.style.display = "none";
    var marked = null;
    var head = ""; // the step's line, without its link to the timeline

    function put(map, key, value, old) {
      old.push([map, key, map.has(key) ? map.get(key) : undefined]);
      if (value === undefined) map.delete(key); else map.set(key, value);
    }
    function apply(i) {
      var c = steps[i].c, old = [];
      if (c) {
        (c.pg || []).forEach(function (pid) { put(procs, pid, undefined, old); });
        (c.p || []).forEach(function (p) { put(procs, p.pid, p, old); });
        (c.dg || []).forEach(function (k) { put(descs, k, undefined, old); });
        (c.d || []).forEach(function (d) { put(descs, d[0], d[1], old); });
        (c.og || []).forEach(function (k) { put(objs, k, undefined, old); });
        (c.o || []).forEach(function (o) { put(objs, o[0], o[1], old); });
      }
      undo.push(old);
    }
    function unapply() {
      var old = undo.pop();
      for (var k = old.length - 1; k >= 0; k--) {
        var o = old[k];
        if (o[2] === undefined) o[0].delete(o[1]); else o[0].set(o[1], o[2]);
      }
    }

    function draw() {
      var s = steps[at - 1];
      count.textContent = data.all > steps.length ?
        say("countCut", at, steps.length, steps.length, data.all) : say("count", at, steps.length);
      link.href = "#" + data.lesson + "/" + at;
      root.dataset.step = at;
      slider.value = at;
      now.textContent = "";
      now.appendChild(make("span", "time", s.t + " s  "));
      now.appendChild(make("span", "who", s.who));
      now.appendChild(document.createTextNode(": " + s.w + " "));
      head = now.textContent.slice(0, -1);
      var full = make("a", "", say("inTimeline"));
      full.href = "#" + s.a;
      now.appendChild(full);
      if (marked) marked.removeAttribute("aria-current");
      marked = s.line ? lines[s.line] || null : null;
      if (marked) {
        marked.setAttribute("aria-current", "step");
        code.scrollTop = Math.max(0, marked.offsetTop - code.clientHeight / 2);
      }
      tables.textContent = "";
      var pc = make("div", "col procs"), dc = make("div", "col descs"), oc = make("div", "col objs");
      pc.appendChild(make("h4", "", say("procs")));
      dc.appendChild(make("h4", "", say("descs")));
      oc.appendChild(make("h4", "", say("objs")));
      var said = [];
      procs.forEach(function (p) {
        var box = make("div", "proc" + (p.life === "zombie" ? " zombie" : ""));
        box.dataset.pid = p.pid;
        box.appendChild(make("div", "who", p.name));
        var state = p.life === "zombie" ? say("zombie") :
          p.life === "stopped" ? say("stopped") :
          !p.call ? say("running") :
          say(p.call[1] ? "waiting" : "inside", p.call[0] + 1, steps[p.call[0]].w);
        if (p.from) state = say("adopted", state, p.from);
        box.appendChild(make("div", "state", state));
        var held = [];
        p.fds.forEach(function (f) {
          var d = descs.get(f[1]);
          var o = d && d.o ? objs.get(d.o) : null;
          var row = make("div", "row fd", "fd " + f[0] + " \u2192 " + f[1] +
            (o ? " (" + o.n + ")" : "") + (f[2] ? "  close-on-exec" : ""));
          row.dataset.fd = f[0]; row.dataset.description = f[1];
          box.appendChild(row);
          held.push("fd " + f[0] + (o ? ", " + o.n : "") + (d ? ", " + d.m : ""));
        });
        said.push(held.length ? say("holds", p.name, state, held.join("; ")) :
          say("holdsNothing", p.name, state));
        pc.appendChild(box);
      });
      descs.forEach(function (d, k) {
        var o = d.o ? objs.get(d.o) : null;
        var box = make("div", "desc");
        box.dataset.description = k;
        box.dataset.object = o ? o.n : "";
        box.appendChild(make("div", "row", k + ": " + d.m));
        box.appendChild(make("div", "row", d.x + (o ? " \u2192 " + o.n : "")));
        dc.appendChild(box);
      });
      objs.forEach(function (o) {
        var box = make("div", "obj" + (o.f !== undefined ? " data" : ""));
        box.dataset.object = o.n;
        box.appendChild(make("div", "who", o.n));
        if (o.f !== undefined) box.appendChild(make("div", "flight", o.f));
        if (o.r) box.appendChild(make("div", "received", o.r));
        oc.appendChild(box);
      });
      tables.appendChild(pc); tables.appendChild(dc); tables.appendChild(oc);
      tables.setAttribute("aria-label", said.join(". ") + ".");
    }

    // The three tables as they are drawn now, as a standalone SVG: each
    // column's boxes, each box's lines, in the player's words.
    function tables_svg() {
      var esc = function (t) {
        return t.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;");
      };
      var widths = [430, 330, 330], x = 10, body = "", bottom = 0, line = 20;
      body += '<text x="10" y="24" font-weight="bold">' + esc(head) + "</text>";
      Array.prototype.forEach.call(tables.children, function (column, k) {
        var y = 56;
        Array.prototype.forEach.call(column.children, function (box) {
          if (box.tagName === "H4") {
            body += '<text x="' + x + '" y="' + y + '" font-weight="bold">' + esc(box.textContent) + "</text>";
            y += 10;
            return;
          }
          var fits = Math.floor((widths[k] - 16) / 8.5);
          var rows = Array.prototype.map.call(box.children, function (r) {
            var t = r.textContent;
            return t.length > fits ? t.slice(0, fits - 1) + "\u2026" : t;
          });
          var h = rows.length * line + 10;
          body += '<rect x="' + x + '" y="' + y + '" width="' + widths[k] + '" height="' + h +
            '" rx="5" fill="' + (box.classList.contains("data") ? "#e3f4ea" : box.classList.contains("proc") ? "#eef3fb" : "white") +
            '" stroke="#5b7db1"' + (box.classList.contains("zombie") ? ' stroke-dasharray="4 3"' : "") + "/>";
          rows.forEach(function (r, i) {
            body += '<text x="' + (x + 8) + '" y="' + (y + 20 + i * line) + '">' + esc(r) + "</text>";
          });
          y += h + 8;
        });
        bottom = Math.max(bottom, y);
        x += widths[k] + 16;
      });
      return '<svg xmlns="http://www.w3.org/2000/svg" width="' + x + '" height="' + bottom +
        '" font-family="DejaVu Sans Mono, monospace" font-size="14"><rect width="100%" height="100%" fill="white"/>' +
        body + "</svg>\n";
    }
    save.onclick = function () {
      save.href = URL.createObjectURL(new Blob([tables_svg()], { type: "image/svg+xml" }));
      save.download = data.lesson + "-step-" + at + ".svg";
    };
    self.tables_svg = tables_svg;

    // Shows step n (from 1): forwards by applying each step's changes,
    // backwards by undoing them.
    self.go = function (n) {
      n = Math.max(1, Math.min(steps.length, n | 0));
      while (at < n) apply(at++);
      while (at > n) { unapply(); at--; }
      draw();
    };
    self.root = root;
    self.step = function () { return at; };
    first.onclick = function () { self.go(1); };
    back.onclick = function () { self.go(at - 1); };
    next.onclick = function () { self.go(at + 1); };
    last.onclick = function () { self.go(steps.length); };
    slider.oninput = function () { self.go(+slider.value); };
    root.addEventListener("keydown", function (e) {
      if (e.target === slider || e.altKey || e.ctrlKey || e.metaKey) return;
      var to = { ArrowRight: at + 1, ArrowLeft: at - 1, Home: 1, End: steps.length,
                 PageDown: at + 10, PageUp: at - 10 }[e.key];
      if (to === undefined) return;
      e.preventDefault();
      self.go(to);
    });
    self.go(1);
  }

  document.querySelectorAll("div.player-holder[data-lesson]").forEach(function (holder) {
    var data = holder.querySelector("script[type='application/json']");
    if (!data) return;
    var player = new Player(holder, JSON.parse(data.textContent));
    players[holder.dataset.lesson] = player;
    holder.player = player;
  });
  // "#echo_five/12": the lesson's player at step 12. Opened so, the page
  // shows that player first, at the very top, where a screenshot of the
  // link (a slide) sees it; a link followed later scrolls to it.
  function follow(opened) {
    var m = /^#([\w-]+)\/(\d+)$/.exec(decodeURIComponent(location.hash));
    if (!m || !players[m[1]]) return;
    var player = players[m[1]];
    if (opened === true) // moved first: a move loses the source's scroll
      document.body.insertBefore(player.root.parentNode, document.body.firstChild);
    player.go(+m[2]);
    if (opened === true)
      window.scrollTo(0, 0);
    else
      player.root.scrollIntoView();
    player.root.focus({ preventScroll: true });
  }
  window.addEventListener("hashchange", follow);
  follow(true);
})();

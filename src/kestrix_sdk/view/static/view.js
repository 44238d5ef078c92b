// The live view's page: tiles of Motion-JPEG streams, the node table and the error reports,
// refreshed from the server's JSON endpoints. The page and its files hold no data and are served
// without a token; the access token, when the page was opened with one (?token=...), goes along
// with every data request: in a header for the JSON requests, in the address of a stream (an
// image element cannot send headers).
"use strict";
(function () {
  const token = new URLSearchParams(window.location.search).get("token");
  const withToken = (path) => token ? path + (path.includes("?") ? "&" : "?") + "token=" + encodeURIComponent(token) : path;
  const tokenHeaders = token ? { "X-Kestrix-Token": token } : {};
  const $ = (id) => document.getElementById(id);
  let staleAfter = 180, clockSkew = 0, errorsShown = -1;
  const tiles = new Map();

  async function getJSON(path) {
    const response = await fetch(path, { cache: "no-store", headers: tokenHeaders });
    if (response.status === 401) throw new Error(token ? "the token is not valid" : "open the page with ?token=...");
    if (!response.ok) throw new Error(path + ": " + response.status);
    return response.json();
  }

  function setBadge(id, label, up) {
    const el = $(id);
    el.className = "badge " + (up ? "up" : "down");
    el.textContent = label + (up ? " connected" : " unreachable");
  }

  function makeTile(key) {
    const figure = document.createElement("figure");
    figure.className = "tile";
    figure.dataset.key = key;
    const img = document.createElement("img");
    img.alt = key;
    const src = withToken("stream/" + encodeURIComponent(key));
    // A broken stream (server restart, Redis outage) is opened again a little later.
    img.onerror = () => setTimeout(() => { if (tiles.has(key)) img.src = src; }, 2000);
    img.src = src;
    const caption = document.createElement("figcaption");
    caption.textContent = key;
    figure.append(img, caption);
    return figure;
  }

  async function refreshFrames() {
    const keys = await getJSON("api/frames");
    for (const key of keys) {
      if (!tiles.has(key)) {
        const tile = makeTile(key);
        tiles.set(key, tile);
        $("tiles").append(tile);
      }
    }
    for (const [key, tile] of tiles) {
      if (!keys.includes(key)) {
        tile.querySelector("img").removeAttribute("src");
        tile.remove();
        tiles.delete(key);
      }
    }
    $("no-frames").classList.toggle("hidden", keys.length > 0);
  }

  function describeAge(ts, now) {
    if (typeof ts !== "number" || ts <= 0) return { text: "no update reported yet", age: Infinity };
    const age = Math.max(0, now - ts);
    const text = age < 90 ? Math.round(age) + " s ago" : age < 5400 ? Math.round(age / 60) + " min ago" : Math.round(age / 3600) + " h ago";
    return { text, age };
  }

  function cell(text, cls) {
    const td = document.createElement("td");
    td.textContent = text;
    if (cls) td.className = cls;
    return td;
  }

  async function refreshStatus() {
    const records = await getJSON("api/status");
    const now = Date.now() / 1000 + clockSkew;
    const body = $("nodes").querySelector("tbody");
    const rows = [];
    for (const [node, record] of Object.entries(records)) {
      const tr = document.createElement("tr");
      const age = describeAge(record.ts, now);
      tr.dataset.node = node;
      if (age.age > staleAfter) tr.className = "stale";
      tr.append(cell(node), cell(String(record.name ?? "")), cell(String(record.type ?? "")),
                cell(age.text, "age"), cell(JSON.stringify(record), "record"));
      rows.push(tr);
    }
    body.replaceChildren(...rows);
    $("no-nodes").classList.toggle("hidden", rows.length > 0);
  }

  async function refreshErrors() {
    const errors = await getJSON("api/errors");
    if (errors.length === errorsShown) return;
    errorsShown = errors.length;
    const items = errors.slice().reverse().map((entry) => {
      const li = document.createElement("li");
      const when = new Date(entry.received * 1000).toLocaleTimeString();
      const node = document.createElement("span");
      node.className = "node";
      node.textContent = entry.node;
      const message = typeof entry.record === "object" && entry.record !== null && "message" in entry.record
        ? entry.record.message : JSON.stringify(entry.record);
      li.append(when + " ", node, " " + message);
      return li;
    });
    $("errors").replaceChildren(...items);
    $("error-count").textContent = errors.length ? "(" + errors.length + ")" : "";
    $("no-errors").classList.toggle("hidden", errors.length > 0);
  }

  async function refreshHealth() {
    try {
      const health = await getJSON("api/health");
      staleAfter = health.stale_after;
      clockSkew = health.time - Date.now() / 1000;
      setBadge("redis", "Redis " + health.redis_server, health.redis);
      setBadge("mqtt", "broker " + health.mqtt_broker, health.mqtt);
    } catch (e) {
      $("redis").className = $("mqtt").className = "badge down";
      $("redis").textContent = e instanceof TypeError ? "view server unreachable" : e.message;
      $("mqtt").textContent = "";
    }
    $("clock").textContent = new Date().toLocaleTimeString();
  }

  async function tick() {
    await refreshHealth();
    for (const step of [refreshFrames, refreshStatus, refreshErrors]) {
      try { await step(); } catch (e) { /* shown by the health badges; tried again next tick */ }
    }
  }

  tick();
  setInterval(tick, 1000);
})();

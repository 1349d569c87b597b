// The status page: self-contained (no scripts, fonts or styles from elsewhere, so that it works on
// a LAN without internet), readable on a phone, kept current by polling /api/v1/status.
#include "host/http/routes.h"

namespace corvale::host::http {

const char* const kStatusPage = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>UPS status</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 0; background: #f4f4f4; color: #222; }
  header { padding: 1.5rem 1rem; color: #fff; background: #777; transition: background .3s; }
  header.online { background: #1b7f3a; }
  header.battery { background: #c77700; }
  header.low, header.lost, header.unreachable { background: #b3261e; }
  #state { font-size: 2.6rem; font-weight: 700; margin: 0; }
  #detail { font-size: 1.1rem; margin: .4rem 0 0; }
  main { padding: 1rem; max-width: 48rem; }
  section { background: #fff; border-radius: .5rem; padding: .8rem 1rem; margin-bottom: 1rem; }
  h2 { font-size: 1rem; margin: 0 0 .5rem; color: #555; }
  table { border-collapse: collapse; width: 100%; font-size: .95rem; }
  td { padding: .25rem .4rem; border-top: 1px solid #eee; vertical-align: top; }
  td.time { white-space: nowrap; color: #555; }
  #shutdown, #unready { display: none; border-left: .4rem solid #b3261e; }
  #battery { display: none; }
  #trend { width: 100%; height: 7rem; }
  #trend polyline { fill: none; stroke: #1b7f3a; stroke-width: 2; }
  #trend circle { fill: #1b7f3a; }
  #trend text { font-size: 10px; fill: #555; }
  #plan, #several { display: none; }
  .missing { color: #b3261e; font-weight: 600; }
  .gone { color: #c77700; }
  #weak { color: #b3261e; font-weight: 600; }
</style>
</head>
<body>
<header id="banner"><p id="state">Loading…</p><p id="detail"></p></header>
<main>
<section id="unready"><h2>This host cannot shut down</h2><p>The privileged helper does not
answer: on a power failure the shutdown would not happen. Mend it: <code>systemctl reset-failed
corvale-ups-shutdown.service corvale-ups-shutdown.path; systemctl start
corvale-ups-shutdown.path</code></p></section>
<section id="shutdown"><h2>Shutdown pending</h2><p id="waits"></p></section>
<section><h2>UPS</h2><table>
  <tr><td>Name</td><td id="ups"></td></tr>
  <tr><td>Status</td><td id="status"></td></tr>
  <tr><td>On battery</td><td id="onbattery"></td></tr>
  <tr><td>Last reply</td><td id="lastpoll"></td></tr>
  <tr id="clientsrow"><td>NUT clients</td><td id="clients"></td></tr>
  <tr id="agentrow"><td>Followed on</td><td id="agent"></td></tr>
  <tr id="notifyrow"><td>Notifications</td><td id="notify"></td></tr>
</table></section>
<section id="several"><h2>UPSes</h2><table id="upses"></table></section>
<section id="plan"><h2>Shutdown plan</h2><table id="stages"></table></section>
<section id="battery"><h2>Battery: time from on battery to low battery</h2>
<svg id="trend" viewBox="0 0 400 100" preserveAspectRatio="none" role="img"></svg>
<p id="batterynote"></p><p id="weak"></p></section>
<section><h2>Last events</h2><table id="events"></table></section>
<p id="updated"></p>
</main>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
function duration(seconds) {
  seconds = Math.round(seconds);
  const h = Math.floor(seconds / 3600), m = Math.floor(seconds % 3600 / 60), s = seconds % 60;
  return (h ? h + " h " : "") + (h || m ? m + " min " : "") + s + " s";
}
const words = {online: "Online", battery: "On battery", low: "Battery low",
               lost: "UPS not answering"};
const worse = ["online", "battery", "low", "lost"];
function kindOf(ups) {
  const kinds = {1: "online", 2: "battery", 4: "low"};
  return ups.communicating ? (kinds[ups.state] || "lost") : "lost";
}
function show(status) {
  // Several UPSes: the banner shows the one worst off, by name.
  const upses = status.upses && status.upses.length ? status.upses : [status];
  const worst = upses.reduce((a, b) => worse.indexOf(kindOf(b)) > worse.indexOf(kindOf(a)) ? b : a);
  const kind = kindOf(worst);
  $("banner").className = kind;
  $("state").textContent = words[kind];
  const detail = worst.on_battery_since ? "on battery for " + duration(worst.on_battery_seconds)
      : "";
  $("detail").textContent = upses.length > 1 && kind !== "online"
      ? worst.name + (detail ? ": " + detail : "") : detail;
  $("several").style.display = upses.length > 1 ? "block" : "none";
  $("upses").replaceChildren(...(upses.length > 1 ? upses : []).map((ups) => {
    const row = document.createElement("tr");
    const name = document.createElement("td");
    name.textContent = ups.name;
    const state = document.createElement("td");
    state.textContent = words[kindOf(ups)] + (ups.flags && ups.flags.FSD ? ", forced shutdown" : "") +
        (ups.on_battery_since ? ", on battery for " + duration(ups.on_battery_seconds) : "") +
        (ups.status_text ? " (" + ups.status_text + ")" : "");
    row.append(name, state);
    return row;
  }));
  $("ups").textContent = status.ups;
  $("status").textContent = status.status_text || "(none yet)";
  $("onbattery").textContent = duration(status.on_battery_seconds_total) + " since " +
      new Date(status.started).toLocaleString() + ", " + status.power_failures + " power failures";
  $("lastpoll").textContent = status.last_valid_poll
      ? new Date(status.last_valid_poll).toLocaleString() : "never";
  $("clients").textContent = status.nut.logins.length
      ? status.nut.logins.join(", ") : "none logged in";
  // An agent shares nothing: it shows the server it follows instead.
  $("clientsrow").style.display = status.agent ? "none" : "";
  $("agentrow").style.display = status.agent ? "" : "none";
  if (status.agent) {
    $("agent").textContent = status.agent.server + ": " + (status.agent.connected
        ? "connected" : status.agent.problem);
  }
  $("shutdown").style.display = status.shutdown.pending ? "block" : "none";
  $("waits").textContent = "Waiting for " + status.shutdown.waits_for + ".";
  $("unready").style.display = status.shutdown.ready === false ? "block" : "none";
  const rows = status.recent_events.slice().reverse().map((event) => {
    const row = document.createElement("tr");
    const time = document.createElement("td");
    time.className = "time";
    time.textContent = new Date(event.time).toLocaleString();
    const text = document.createElement("td");
    text.textContent = event.event + ": " + event.message;
    row.append(time, text);
    return row;
  });
  $("events").replaceChildren(...rows);
  drawBattery(status.battery_measures || []);
  drawPlan(status.plan);
  // Each receiver: all delivered, or how many wait and why.
  const notices = status.notify || [];
  $("notifyrow").style.display = notices.length ? "" : "none";
  $("notify").textContent = notices.map((entry) => entry.name + ": " + (entry.queued
      ? entry.queued + " waiting" + (entry.problem ? " (" + entry.problem + ")" : "")
      : entry.sent + " delivered")).join("; ");
  $("updated").textContent = "Updated " + new Date().toLocaleTimeString();
}
// Each power failure that ran the battery low, as a point over time: a wearing battery falls.
function drawBattery(measures) {
  $("battery").style.display = measures.length ? "block" : "none";
  if (!measures.length) return;
  const svg = $("trend").namespaceURI;
  const times = measures.map((m) => new Date(m.time).getTime());
  const most = Math.max(...measures.map((m) => m.seconds_to_low), 1);
  const first = times[0], span = Math.max(times[times.length - 1] - first, 1);
  const points = measures.map((m, i) => [
      measures.length === 1 ? 200 : 10 + 380 * (times[i] - first) / span,
      96 - 82 * m.seconds_to_low / most]);
  const line = document.createElementNS(svg, "polyline");
  line.setAttribute("points", points.map((p) => p.join(",")).join(" "));
  const dots = points.map(([x, y]) => {
    const dot = document.createElementNS(svg, "circle");
    dot.setAttribute("cx", x);
    dot.setAttribute("cy", y);
    dot.setAttribute("r", 3);
    return dot;
  });
  const label = document.createElementNS(svg, "text");
  label.setAttribute("x", 2);
  label.setAttribute("y", 9);
  label.textContent = duration(most);
  $("trend").replaceChildren(line, ...dots, label);
  const last = measures[measures.length - 1];
  $("batterynote").textContent = "Last: " + duration(last.seconds_to_low) + " on " +
      new Date(last.time).toLocaleDateString() + " (" + measures.length +
      (measures.length === 1 ? " power failure" : " power failures") + " measured)";
}
// The stages in the order they go, each machine logged in or missing, this machine last.
function drawPlan(plan) {
  $("plan").style.display = plan ? "block" : "none";
  if (!plan) return;
  // Each machine by its place: its NUT user is not for those who only look.
  const machines = (list) => list.map((machine, i) => {
    const span = document.createElement("span");
    span.className = machine.logged_in ? "" : "missing";
    span.textContent = "machine " + (i + 1) + (machine.logged_in ? "" : " (missing)") +
        (machine.last_shutdown_seconds != null
            ? ", shuts down in " + duration(machine.last_shutdown_seconds) : "");
    return span;
  });
  const row = (when, name, list, gone) => {
    const tr = document.createElement("tr");
    const first = document.createElement("td");
    first.className = "time";
    first.textContent = when;
    const second = document.createElement("td");
    const title = document.createElement("span");
    title.className = gone ? "gone" : "";
    title.textContent = name + (gone ? " (gone)" : "") + (list.length ? ": " : "");
    second.append(title);
    machines(list).forEach((span, i) => second.append(...(i ? [", ", span] : [span])));
    tr.append(first, second);
    return tr;
  };
  // Which UPS's power each stage follows, where there are several.
  const several = (plan.upses || []).length > 1;
  const rows = plan.stages.map((stage) => row(
      stage.when + (several && stage.ups ? " (UPS " + stage.ups + ")" : ""), stage.name,
      stage.machines, stage.gone));
  rows.push(row("last", "this machine", plan.with_this_machine, false));
  $("stages").replaceChildren(...rows);
  $("weak").textContent = plan.battery_weak
      ? "Too weak for the plan, which needs " + duration(plan.needs_seconds) : "";
}
async function refresh() {
  try {
    const reply = await fetch("api/v1/status", {cache: "no-store"});
    if (!reply.ok) throw new Error(reply.status);
    show(await reply.json());
  } catch (error) {
    $("banner").className = "unreachable";
    $("state").textContent = "Service unreachable";
    $("detail").textContent = "no answer from the corvale-ups service since " +
        new Date().toLocaleTimeString();
  }
}
refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
)page";

}  // namespace corvale::host::http

// The page's side of the station's accounts: who is logged in (GET /api/me), the login and the
// logout, what each role sees, and the engineer's and the admin's panels: released programs, the
// audit trail, the accounts. A station without accounts shows everything, as it always did.
"use strict";

const byId = (id) => document.getElementById(id);
let account = null;  // {accounts, account, role, tls, insecureNetwork}

function tableRows(table, rows) {
  const body = table.tBodies[0];
  body.replaceChildren(...rows.map((cells) => {
    const row = document.createElement("tr");
    for (const text of cells) {
      const td = row.insertCell();
      td.textContent = text;
    }
    return row;
  }));
}

async function getJson(path) {
  const response = await fetch(path);
  if (response.status === 401) {
    showLogin("your session has ended: log in again");
    throw new Error("log in first");
  }
  return response.json();
}

function showLogin(message) {
  document.body.classList.add("logged-out");
  byId("login").hidden = false;
  byId("login-message").textContent = message || "";
  byId("login-user").focus();
}

// What the page shows for who is logged in (or for a station without accounts).
function showAccount(me) {
  account = me;
  const body = document.body;
  body.classList.toggle("accounts", me.accounts);
  for (const role of ["operator", "engineer", "admin"]) {
    body.classList.toggle("role-" + role, me.role === role);
  }
  byId("insecure").hidden = !me.insecureNetwork;
  byId("who").hidden = !me.account;
  byId("who").textContent = me.account ? me.account + " (" + me.role + ")" : "";
  byId("logout").hidden = !me.account;
  const engineer = !me.accounts || me.role === "engineer" || me.role === "admin";
  byId("releases").hidden = !me.accounts || !engineer;
  byId("audit").hidden = !engineer;
  byId("accounts").hidden = me.role !== "admin";
  body.classList.remove("logged-out");
  byId("login").hidden = true;
}

async function loadReleases() {
  const releases = (await getJson("/api/releases")).releases || [];
  const select = byId("lot-release");
  const keep = select.value;
  select.replaceChildren(...releases.map((r) => new Option(r.name + "@" + r.revision,
                                                           r.name + "@" + r.revision)));
  if ([...select.options].some((o) => o.value === keep)) select.value = keep;
  releaseChanged(releases);
  tableRows(byId("release-list"), releases.map((r) => [r.name + "@" + r.revision, r.project,
    r.flow, r.settings.join(", "), r.by, r.at]));
  window.stationReleases = releases;
}

function releaseChanged(releases) {
  const chosen = (releases || window.stationReleases || [])
    .find((r) => r.name + "@" + r.revision === byId("lot-release").value);
  const settings = byId("lot-setting");
  settings.replaceChildren(...(chosen ? chosen.settings : []).map((s) => new Option(s, s)));
}

async function showAudit() {
  const lines = (await getJson("/api/audit?count=200")).lines || [];
  tableRows(byId("audit-list"), lines.slice().reverse().map((l) => [l.time, l.who, l.role,
    l.address, l.what, l.outcome]));
}

async function showAccounts() {
  const accounts = (await getJson("/api/accounts")).accounts || [];
  tableRows(byId("account-list"), accounts.map((a) => [a.name, a.role, a.created,
    a.tokens.map((t) => t.name).join(", ")]));
}

// Once it is known who may see what: the rest of the page starts.
async function started() {
  showAccount(account);
  if (account.accounts) await loadReleases().catch(() => {});
  if (account.role === "admin") await showAccounts().catch(() => {});
  if (window.startStation) window.startStation();
}

async function whoAmI() {
  const response = await fetch("/api/me");
  const me = await response.json();
  if (response.status === 401) {
    account = me;
    document.body.classList.add("accounts");
    byId("insecure").hidden = !me.insecureNetwork;
    showLogin();
    return;
  }
  account = me;
  await started();
}

byId("login-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  byId("login-message").textContent = "...";
  const response = await fetch("/api/login", {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ user: byId("login-user").value, password: byId("login-password").value }),
  });
  const answer = await response.json();
  byId("login-password").value = "";
  if (!response.ok) {
    byId("login-message").textContent = answer.error;
    return;
  }
  account = Object.assign(account || {}, { accounts: true, account: answer.account,
                                            role: answer.role });
  await started();
});

byId("logout").addEventListener("click", async () => {
  await fetch("/api/logout", { method: "POST", headers: { "Content-Type": "application/json" },
                               body: "{}" });
  location.reload();
});

byId("lot-release").addEventListener("change", () => releaseChanged());
byId("audit-refresh").addEventListener("click", () => showAudit().catch(() => {}));
byId("release-make").addEventListener("click", async () => {
  const settings = [...byId("release-settings").selectedOptions].map((o) => o.value);
  await window.post("releases", { name: byId("release-name").value,
                                  revision: byId("release-revision").value,
                                  project: byId("project").value, flow: byId("flow").value,
                                  settings });
  await loadReleases().catch(() => {});
});

// Whether the lot's request names a release (a station with accounts) or a project.
window.lotByRelease = () => Boolean(account && account.accounts);
window.showLogin = showLogin;
window.stationAccount = () => account;

document.addEventListener("DOMContentLoaded", () => whoAmI().catch((error) =>
  showLogin("the station does not answer (" + error.message + ")")));

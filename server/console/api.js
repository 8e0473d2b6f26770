// The server's API as the console uses it: the session's cookie goes along
// by itself; every change carries the session's CSRF token, and card
// requests an Idempotency-Key so that a retry never writes a second card.
let csrf = "";
let onEnded = () => {};

export function setSession(token, ended) {
  csrf = token;
  if (ended) onEnded = ended;
}

export function newKey() {
  const bytes = crypto.getRandomValues(new Uint8Array(16));
  return "console-" + Array.from(bytes, b => b.toString(16).padStart(2, "0")).join("");
}

// Answers {status, body, headers}; status 0 when the server could not be reached.
export async function call(method, path, {body, key} = {}) {
  const headers = {};
  if (body !== undefined) headers["Content-Type"] = "application/json";
  if (method !== "GET" && csrf) headers["X-CSRF-Token"] = csrf;
  if (key) headers["Idempotency-Key"] = key;
  let resp;
  try {
    resp = await fetch(path, {method, headers, credentials: "same-origin", cache: "no-store",
                              body: body === undefined ? undefined : JSON.stringify(body)});
  } catch (e) {
    return {status: 0, body: null, headers: new Headers()};
  }
  const text = await resp.text();
  let parsed = null;
  try { parsed = text ? JSON.parse(text) : null; } catch (e) { parsed = null; }
  if (resp.status === 401 && path !== "/v1/session") onEnded();
  return {status: resp.status, body: parsed, headers: resp.headers};
}

// A job request, followed until its job ends when the server answers 202.
export async function job(path, body, key, onPending = () => {}) {
  let r = await call("POST", path, {body, key});
  while (r.status === 202 && r.body) {
    onPending(r.body);
    await new Promise(done => setTimeout(done, 1000));
    const next = await call("GET", r.body.url);
    if (next.status !== 200) return next;
    r = next.body.state === "queued" || next.body.state === "running" ? {...next, status: 202} : next;
  }
  return r;
}

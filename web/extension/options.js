// The options page: shows every entry of the allow-list with its source and
// lets the user add and remove their own entries (unless policy forbids).
"use strict";

const SOURCES = {policy: "your administrator", user: "you", demo: "the built-in demo"};

function say(text, ok) {
  const p = document.getElementById("message");
  p.textContent = text;
  p.className = ok ? "ok" : "";
}

async function render() {
  const {entries, userAllowed} = await OrvanePolicy.effectiveList();
  const body = document.getElementById("list");
  body.replaceChildren();
  for (const e of entries) {
    const row = body.insertRow();
    const origin = row.insertCell();
    const code = document.createElement("code");
    code.textContent = e.text;
    origin.append(code);
    row.insertCell().textContent = SOURCES[e.source];
    const action = row.insertCell();
    if (e.source === "user") {
      const button = document.createElement("button");
      button.textContent = "Remove";
      button.addEventListener("click", () => remove(e.text));
      action.append(button);
    }
  }
  document.getElementById("origin").disabled = !userAllowed;
  document.querySelector("#add button").disabled = !userAllowed;
  if (!userAllowed)
    say("Your administrator manages this list; entries of your own are not used.", false);
}

async function remove(text) {
  const list = (await OrvanePolicy.readUserOrigins()).filter(
      (t) => OrvanePolicy.canonicalEntry(t) !== text);
  await OrvanePolicy.writeUserOrigins(list);
  say(`Removed ${text}.`, true);
  await render();
}

document.getElementById("add").addEventListener("submit", async (event) => {
  event.preventDefault();
  const input = document.getElementById("origin");
  const text = OrvanePolicy.canonicalEntry(input.value);
  if (!text) {
    say(`"${input.value}" is not an origin such as https://bank.example.`, false);
    return;
  }
  const list = await OrvanePolicy.readUserOrigins();
  if (!list.some((t) => OrvanePolicy.canonicalEntry(t) === text))
    list.push(text);
  await OrvanePolicy.writeUserOrigins(list);
  input.value = "";
  say(`Allowed ${text}. Pages already open keep the answer they were given until reloaded.`, true);
  await render();
});

render();

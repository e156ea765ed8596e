// Asks the helper's local server whether it is up and shows the answer in the panel.
const healthAddress = "http://127.0.0.1:9876/health";

async function checkHealth() {
  const status = document.getElementById("status");
  try {
    const response = await fetch(healthAddress);
    const body = await response.json();
    const up = response.ok && body.status === "ok";
    status.textContent = up ? "running" : `unexpected answer (${response.status})`;
    status.className = up ? "ok" : "down";
  } catch (error) {
    status.textContent = "not reachable — is Tessaryn Helper running?";
    status.className = "down";
  }
}

document.getElementById("check").addEventListener("click", checkHealth);
checkHealth();

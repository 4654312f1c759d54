// The server sends a failed login back here with ?failed=1.
if (new URLSearchParams(location.search).has("failed"))
  document.getElementById("failed").hidden = false;

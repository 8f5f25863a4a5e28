document.addEventListener("DOMContentLoaded", function () {
  document.getElementById("script-status").textContent = "The script has run.";
});

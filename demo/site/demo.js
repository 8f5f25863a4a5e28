// Says on the page that this script ran, and whether the picture arrived
// whole: decode() succeeds only for an image the browser could decode.
// The body's data-script and data-picture attributes say the same for tests.
document.addEventListener("DOMContentLoaded", function () {
  document.getElementById("script-status").textContent = "The script has run.";
  document.body.dataset.script = "ran";

  var logo = document.getElementById("logo");
  var status = document.getElementById("picture-status");
  logo.decode().then(
    function () {
      status.textContent = "The picture arrived whole: " + logo.naturalWidth + " by " +
        logo.naturalHeight + " pixels.";
      document.body.dataset.picture = "decoded";
    },
    function () {
      status.textContent = "The picture did not arrive whole.";
      document.body.dataset.picture = "failed";
    });
});

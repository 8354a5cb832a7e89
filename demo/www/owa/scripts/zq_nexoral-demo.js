// The script the sample worker puts in web-mail pages, under its cached-script name
// (/owa/scripts/<prefix>nexoral-demo.js, which the module serves as this file): it marks the
// page as decorated, so that a browser shows that the inserted reference loaded and ran.
(() => {
  const mark = () => {
    document.body.dataset.nexoral = "script-ran";
    const banner = document.getElementById("nexoral-banner");
    if (banner) banner.textContent += " (script ran)";
  };
  if (document.body) {
    mark();
  } else {
    document.addEventListener("DOMContentLoaded", mark);
  }
})();

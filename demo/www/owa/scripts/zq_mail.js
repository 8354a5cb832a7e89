// The demo mail page's script: marks the newest message as read when clicked.
document.addEventListener("DOMContentLoaded", () => {
  for (const row of document.querySelectorAll("#messages tr:not(:first-child)")) {
    row.addEventListener("click", () => row.classList.add("read"));
  }
});

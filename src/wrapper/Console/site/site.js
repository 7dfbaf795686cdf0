// The site's one script: "/" moves to the search box, as on most search
// sites, unless the reader is typing in a field already.
document.addEventListener("keydown", function (event) {
  if (event.key !== "/" || event.ctrlKey || event.metaKey || event.altKey) return;
  var target = event.target;
  if (target && (target.isContentEditable || /^(INPUT|TEXTAREA|SELECT)$/.test(target.tagName))) return;
  var box = document.getElementById("q");
  if (!box) return;
  event.preventDefault();
  box.focus();
  box.select();
});

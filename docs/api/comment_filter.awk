# Doxygen input filter for the public headers: their plain // comments are their documentation.
# The comment block at the top of a file describes the file; a comment line before a
# declaration documents it; a comment after code on the same line documents that member.
# Section rules ("// ---- Registry ----") and the comments closing a namespace stay plain.
# Line numbers are kept, so Doxygen's warnings point at the header's own lines.
BEGIN { at_top = 1; top = 0 }
function end_top(   i) {
  for (i = 1; i <= top; ++i) print "/// " block[i] (i == top ? " \\file" : "")
  top = 0
  at_top = 0
}
{
  line = $0
  if (at_top && line ~ /^\/\//) {
    sub(/^\/\/ ?/, "", line)
    block[++top] = line
    next
  }
  if (at_top) end_top()
  if (line ~ /^[ \t]*\/\/ ----/ || line ~ /^[ \t]*}/) { print; next }
  if (line ~ /^[ \t]*\/\/([^\/!]|$)/) {
    sub(/\/\//, "///", line)
  } else if (line ~ /[^ \t\/]  +\/\/ /) {
    sub(/  +\/\/ /, "  ///< ", line)
  }
  print line
}
END { if (at_top) end_top() }

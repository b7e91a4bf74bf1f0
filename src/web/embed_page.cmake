# Writes a C++ header that holds the client page's files as string literals, so the
# executable reads no file at run time, with the Mudlet package's script. A literal
# made of several files ("a+b") holds them joined in that order. Run as:
# cmake -DSOURCE=src/web -DOUTPUT=file -P this.
set(delimiter "PELTHOLLOW_PAGE")
set(text "// Generated from ${SOURCE} at build time; do not edit.\n#pragma once\n\n#include <string_view>\n\nnamespace web {\n")
foreach(entry "kPageHtml:page/index.html"
      "kPageScript:page/script/log.js+page/script/speaker.js+page/script/connection.js+page/script/panels.js+page/script/controls.js+page/script/keys.js"
      "kPageStyle:page/pelthollow.css" "kMudletScript:mudlet/pelthollow.lua")
  string(REPLACE ":" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 files)
  string(REPLACE "+" ";" files "${files}")
  set(content "")
  foreach(file IN LISTS files)
    file(READ "${SOURCE}/${file}" part)
    string(APPEND content "${part}")
  endforeach()
  string(FIND "${content}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${files} hold the literal's delimiter")
  endif()
  string(APPEND text "inline constexpr std::string_view ${name} = R\"${delimiter}(${content})${delimiter}\";\n")
endforeach()
string(APPEND text "\n}  // namespace web\n")
file(WRITE "${OUTPUT}.new" "${text}")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")

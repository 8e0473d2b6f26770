# Writes files' texts into a C++ source as the table EmbeddedFiles() returns
# (embedded.h). FILES: names relative to BASE, separated by commas; OUT: the
# source to write.
string(REPLACE "," ";" FILES "${FILES}")
set(body "")
foreach(name IN LISTS FILES)
  file(READ ${BASE}/${name} text)
  string(FIND "${text}" ")KESTRANE_EMBED" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${name} holds the embedding's delimiter")
  endif()
  string(APPEND body "        {\"${name}\", R\"KESTRANE_EMBED(${text})KESTRANE_EMBED\"},\n")
endforeach()
file(WRITE ${OUT} "#include \"embedded.h\"\nnamespace server {\n"
  "const std::map<std::string, std::string> &EmbeddedFiles() {\n"
  "    static const std::map<std::string, std::string> files = {\n${body}    };\n    return files;\n}\n"
  "}  // namespace server\n")

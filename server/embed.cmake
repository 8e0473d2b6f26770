# Writes a file's text into a C++ source as a function returning it.
file(READ ${IN} text)
file(WRITE ${OUT} "#include <string>\nnamespace server {\nconst std::string &OpenApiDocument() {\n"
  "    static const std::string text = R\"KESTRANE_EMBED(${text})KESTRANE_EMBED\";\n    return text;\n}\n}  // namespace server\n")

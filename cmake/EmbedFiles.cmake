# Writes files into a C++ source as byte arrays, so that a program can serve them without
# reading anything at run time. Each file NAME=PATH becomes `extern const std::string_view NAME`
# in namespace embedded.
# Usage: cmake -DOUTPUT=.../Embedded.cpp "-DFILES=kName=path;kOther=path" -P EmbedFiles.cmake
set(text "// Made by cmake/EmbedFiles.cmake at build time; do not edit.\n")
string(APPEND text "#include <string_view>\n\nnamespace embedded {\n")
foreach(entry IN LISTS FILES)
  string(FIND "${entry}" "=" equals)
  string(SUBSTRING "${entry}" 0 ${equals} name)
  math(EXPR start "${equals} + 1")
  string(SUBSTRING "${entry}" ${start} -1 path)
  file(READ "${path}" bytes HEX)
  string(LENGTH "${bytes}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
  string(APPEND text "namespace {\nconst char ${name}_bytes[] = {${bytes}0};\n}\n")
  string(APPEND text "extern const std::string_view ${name}(${name}_bytes, ${size});\n")
endforeach()
string(APPEND text "}  // namespace embedded\n")
file(WRITE "${OUTPUT}.new" "${text}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUTPUT}.new" "${OUTPUT}")
file(REMOVE "${OUTPUT}.new")

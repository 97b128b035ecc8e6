# Writes a C++ source that holds a text file's bytes as an array:
#   cmake -DINPUT=file -DOUTPUT=source.cpp -DNAME=kName -P embed_text.cmake
# The array ends with a NUL; NAME##Size holds the count without it.
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
string(REGEX REPLACE "(('[^']+',){16})" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUTPUT}.new"
  "// Generated from ${INPUT} by cmake/embed_text.cmake: do not edit.\n"
  "namespace replay {\n"
  "extern const char ${NAME}Text[];\n"
  "extern const unsigned long ${NAME}Size;\n"
  "const char ${NAME}Text[] = {\n  ${bytes}'\\0'};\n"
  "const unsigned long ${NAME}Size = ${size};\n"
  "}  // namespace replay\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUTPUT}.new" "${OUTPUT}")
file(REMOVE "${OUTPUT}.new")

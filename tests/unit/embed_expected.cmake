# Writes OUT, a C++ source holding every file of DIR as bytes, so the fast
# tests compare against the expected outputs wherever they run (under Wine
# or on Windows) without reaching the source tree.
# cmake -DDIR=... -DOUT=... -P embed_expected.cmake
file(GLOB files RELATIVE ${DIR} ${DIR}/*.txt ${DIR}/*.json)
list(SORT files)
set(arrays "")
set(entries "")
set(i 0)
foreach(name ${files})
    file(READ ${DIR}/${name} hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
    string(APPEND arrays "const unsigned char kFile${i}[] = {${bytes}0};\n")
    string(APPEND entries "    {\"${name}\", reinterpret_cast<const char*>(kFile${i}), ${size}},\n")
    math(EXPR i "${i} + 1")
endforeach()
file(WRITE ${OUT} "// Made by embed_expected.cmake from tests/unit/expected.
#include \"expected_files.h\"
namespace {
${arrays}}  // namespace
const ExpectedFile kExpectedFiles[] = {
${entries}    {nullptr, nullptr, 0}};
")

# Turns the asset files into one C++ source of byte arrays, with each
# file's Content-Type and a strong ETag (the start of its SHA-256).
#   cmake -DOUTPUT=assets.cpp -DSOURCE_DIR=dir -DFILES="a;b" -P embed.cmake
cmake_minimum_required(VERSION 3.16)

function(content_type name out)
  get_filename_component(ext "${name}" LAST_EXT)
  string(TOLOWER "${ext}" ext)
  set(types
    ".html=text/html\\; charset=utf-8" ".css=text/css\\; charset=utf-8"
    ".js=text/javascript\\; charset=utf-8" ".json=application/json" ".svg=image/svg+xml"
    ".png=image/png" ".ico=image/x-icon" ".woff2=font/woff2" ".txt=text/plain\\; charset=utf-8")
  set(type "application/octet-stream")
  foreach(entry IN LISTS types)
    string(FIND "${entry}" "=" eq)
    string(SUBSTRING "${entry}" 0 ${eq} e)
    math(EXPR start "${eq} + 1")
    string(SUBSTRING "${entry}" ${start} -1 t)
    if(e STREQUAL ext)
      set(type "${t}")
    endif()
  endforeach()
  set(${out} "${type}" PARENT_SCOPE)
endfunction()

set(body "")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
  if(NOT name MATCHES "^[A-Za-z0-9._-]+$")
    message(FATAL_ERROR "asset name '${name}': letters, digits, '.', '_' and '-' only")
  endif()
  set(path "${SOURCE_DIR}/${name}")
  file(READ "${path}" hex HEX)
  file(SHA256 "${path}" sha)
  string(SUBSTRING "${sha}" 0 32 tag)
  file(SIZE "${path}" size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
  content_type("${name}" type)
  string(APPEND body "const unsigned char kData${index}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${name}\", \"${type}\", \"\\\"${tag}\\\"\", kData${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(text "// Generated from web/assets by web/cmake/embed.cmake; do not edit.
#include \"assets.h\"

namespace cv4870web {
namespace {
${body}} // namespace

const Asset kAssets[] = {
${table}};
const std::size_t kAssetCount = ${index};

} // namespace cv4870web
")
# Written only when it changed, so that nothing rebuilds for nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()

# Runs velkc on the shipped examples and compares a SHA-256 digest of everything it writes
# (files, standard output, standard error and exit status) with the digests in
# velkc_outputs.sha256, which were taken from an earlier build. A refactoring that changes one
# byte of any output fails here and names the output.
#
#   cmake -DVELKC=path/to/velkc -DSOURCE_DIR=repo -DWORK_DIR=scratch -P velkc_outputs.cmake
#   ... -DUPDATE=ON rewrites the digest file (only when an output is meant to change).
cmake_minimum_required(VERSION 3.25)

get_filename_component(VELKC ${VELKC} ABSOLUTE)
set(digests_file ${CMAKE_CURRENT_LIST_DIR}/velkc_outputs.sha256)
# The shipped graph is copied in and named by a relative path, since outputs that name their
# input (the sweep's table) must not depend on where the checkout is.
set(encoder examples/encoder.json)
set(bert examples/bert-base-12.json)
file(REMOVE_RECURSE ${WORK_DIR})
file(COPY ${SOURCE_DIR}/${encoder} ${SOURCE_DIR}/${bert} DESTINATION ${WORK_DIR}/examples)

# run(<name> <arguments>...): velkc in WORK_DIR; keeps its output as <name>.stdout,
# <name>.stderr and <name>.status.
function(run name)
  execute_process(COMMAND ${VELKC} ${ARGN} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE status
                  OUTPUT_FILE ${WORK_DIR}/${name}.stdout ERROR_FILE ${WORK_DIR}/${name}.stderr)
  file(WRITE ${WORK_DIR}/${name}.status "${status}\n")
endfunction()

run(graph-encoder graph --encoder)
run(graph-rewrite graph --graph ${encoder})
run(graph-large graph --encoder --sequence 128 --hidden 256 --heads 8 --feed-forward 1024 --out large.json)
run(compile-64 compile --graph ${encoder} --tiles 64 --out out-64 --trace trace-64.json --report report-64.html)
run(compile-8 compile --encoder --tiles 8 --out out-8 --trace trace-8.json --report report-8.html)
run(compile-windows compile --encoder --tiles 16 --exchange-window 0x50000:0x54000 --data-window 0x60000:0xE0000
    --out out-windows)
run(compile-large compile --graph large.json --tiles 1472 --out out-large --trace trace-large.json
    --report report-large.html)
run(compile-bert compile --graph ${bert} --tiles 1472 --out out-bert --trace trace-bert.json)
run(graph-bert graph --encoder --sequence 128 --hidden 768 --heads 12 --feed-forward 3072 --layers 12 --out bert.json)
run(compile-no-memory compile --encoder --data-window 0x58000:0x5A000)
run(sweep sweep --encoder --hidden 32,64 --tiles 2,8,64 --report sweep.html --no-times)
run(sweep-graph sweep --graph ${encoder} --tiles 1,4,16 --no-times)
run(disasm-tile disasm --schedule out-64/schedule.json --tile 4)
run(disasm-words disasm 0x41800003 0x40A0001F 0x43A00000 0x7FEB0003 0x77E08003 0x64003001 0x60F14000 0)

file(GLOB_RECURSE outputs RELATIVE ${WORK_DIR} ${WORK_DIR}/*)
list(SORT outputs)
# One digest per file, but one for each folder of tile command streams as a whole (the digest
# of its files' names and digests), which keeps the list short at 1472 tiles.
set(actual "")
set(tile_folders "")
foreach(output IN LISTS outputs)
  file(SHA256 ${WORK_DIR}/${output} digest)
  if(output MATCHES "^(.*/tiles)/[^/]+$")
    set(folder ${CMAKE_MATCH_1})
    string(MAKE_C_IDENTIFIER ${folder} key)
    if(NOT DEFINED listing_${key})
      list(APPEND tile_folders ${folder})
      set(listing_${key} "")
    endif()
    string(APPEND listing_${key} "${digest}  ${output}\n")
  else()
    string(APPEND actual "${digest}  ${output}\n")
  endif()
endforeach()
foreach(folder IN LISTS tile_folders)
  string(MAKE_C_IDENTIFIER ${folder} key)
  string(SHA256 digest "${listing_${key}}")
  string(REGEX MATCHALL "\n" files "${listing_${key}}")
  list(LENGTH files count)
  string(APPEND actual "${digest}  ${folder}/ (${count} files)\n")
endforeach()

if(UPDATE)
  file(WRITE ${digests_file} "${actual}")
  message(STATUS "wrote the digests to ${digests_file}")
  return()
endif()

file(STRINGS ${digests_file} expected_lines)
string(REGEX REPLACE "\n$" "" actual_text "${actual}")
string(REPLACE "\n" ";" actual_lines "${actual_text}")
set(differing "")
foreach(line IN LISTS expected_lines actual_lines)
  list(FIND expected_lines "${line}" in_expected)
  list(FIND actual_lines "${line}" in_actual)
  if(in_expected EQUAL -1 OR in_actual EQUAL -1)
    string(REGEX REPLACE "^[0-9a-f]+  " "" name "${line}")
    list(APPEND differing "${name}")
  endif()
endforeach()
list(REMOVE_DUPLICATES differing)
if(differing)
  list(JOIN differing "\n  " names)
  message(FATAL_ERROR "velkc's outputs differ from the recorded ones in ${WORK_DIR}:\n  ${names}")
endif()

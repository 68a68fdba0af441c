# Whole sessions of the Windows program, run natively or under wine (EMULATOR), each in a fresh
# directory under WORK with a given standard input and stock.txt; the output, the resulting
# stock.txt and the exit status are compared byte for byte.
#   cmake -DPROGRAM=quillane.exe -DHOLD=hold.exe [-DEMULATOR=wine -DTWIN=quillane] -DWORK=dir \
#         -P windows_sessions.cmake
# TWIN, the Linux program, shares a folder with the Windows one under wine, as a Linux computer
# and a Windows one share a folder.
cmake_minimum_required(VERSION 3.20)

# Typist mode: types products, and after each is saved, changes stock.txt by hand in one way
# only: its file index, then its bytes. (Its time alone, the bytes the same, loses nothing.)
if(DEFINED TYPIST)
  set(file "${TYPIST}/run/stock.txt")
  function(type words mark how)
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${words}")
    foreach(poll RANGE 600) # up to 30 s for the program to save
      file(READ "${file}" saved)
      if(saved MATCHES "${mark}")
        break()
      endif()
      execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.05)
    endforeach()
    if(how STREQUAL "index") # a copy with its exact time, moved into place
      file(COPY "${file}" DESTINATION "${TYPIST}/copy")
      execute_process(COMMAND touch -r "${file}" "${TYPIST}/copy/stock.txt")
      file(RENAME "${TYPIST}/copy/stock.txt" "${file}")
    else() # its first byte changed in place, and its exact time put back: only bytes differ
      file(WRITE "${TYPIST}/eight" "8")
      execute_process(COMMAND touch -r "${file}" "${TYPIST}/eight") # file(COPY) keeps seconds
      execute_process(COMMAND dd "of=${file}" conv=notrunc INPUT_FILE "${TYPIST}/eight"
                      ERROR_QUIET)
      execute_process(COMMAND touch -r "${TYPIST}/eight" "${file}")
    endif()
  endfunction()
  type("new 5 a 1 1" "5\\|a" index)
  type("new 6 b 1 1 read new 7 c 1 1" "7\\|c" bytes)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "new 8 d 1 1 write exit")
  return()
endif()

string(ASCII 26 ctrlZ)
set(help "help: detailed information\ninv: displays stock information\nread: reads from \
'stock.txt' file\nwrite: saves to 'stock.txt' file\nnew: adds a new product\ndelete: deletes \
products\nedit: edits an entry\nexit: exits the program\n>")
set(start "----------\nQuillane\n----------\n>help\n${help}")
set(asked "Enter id (number): Enter name (word): Enter price (number): Enter quantity (number): ")
set(example "3|nails|2|100|\n4|screws|1|-5|\n")
set(notSaved "could not save 'stock.txt'\n")

# Sets `listing` to the listing of `rows` with the total `monies`.
function(list_of rows monies)
  string(REGEX MATCHALL "\n" lines "${rows}")
  list(LENGTH lines count)
  set(listing "id | name | price | qty\n ----------------------\n${rows}\n${count} items\n\
monies:${monies}\n" PARENT_SCOPE)
endfunction()

# Runs one session. `before` and `after` are stock.txt's bytes, or <none>, or <directory>;
# `out` is written with LF and expected with CR LF. Last arguments: READONLY, LINK (stock.txt a
# link to ../data, which must stay a link), TYPIST, or HOLD and hold.exe's arguments, which then
# types the input; the temporary file's creation, its flush and the move of such a session, as
# wine's trace shows them, are appended to its output.
function(session name before in out after status)
  set(top "${WORK}/${name}-ü") # a path beyond ASCII, which must reach the system intact
  set(run "${top}/run")
  file(REMOVE_RECURSE "${top}")
  file(MAKE_DIRECTORY "${run}")
  set(mode OWNER_READ OWNER_WRITE)
  set(ENV{WINEDEBUG} "-all")
  if(ARGN STREQUAL "READONLY")
    set(mode OWNER_READ)
  elseif(ARGN STREQUAL "TYPIST")
    set(typist COMMAND ${CMAKE_COMMAND} -DTYPIST=${top} -P ${CMAKE_CURRENT_LIST_FILE})
  elseif(ARGN MATCHES "^HOLD;")
    list(REMOVE_AT ARGN 0)
    set(typist COMMAND ${EMULATOR} ${HOLD} ${ARGN})
    set(ENV{WINEDEBUG} "+relay")
    set(trace yes)
  endif()
  if(before STREQUAL "<directory>")
    file(MAKE_DIRECTORY "${run}/stock.txt")
  elseif(ARGN STREQUAL "LINK")
    file(WRITE "${top}/data" "${before}")
    file(CREATE_LINK ../data "${run}/stock.txt" SYMBOLIC)
  elseif(NOT before STREQUAL "<none>")
    file(WRITE "${top}/stock.txt" "${before}")
    file(COPY "${top}/stock.txt" DESTINATION "${run}" FILE_PERMISSIONS ${mode})
  endif()
  file(WRITE "${top}/in" "${in}")
  set(ENV{WINEPREFIX} "${top}/wine") # a fresh prefix: it installs nothing and asks nothing
  set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
  if(typist)
    # The prefix is made first, so that two programs starting at once do not both make it.
    execute_process(COMMAND ${EMULATOR} ${PROGRAM} --version OUTPUT_QUIET ERROR_QUIET)
  endif()
  execute_process(${typist} COMMAND ${EMULATOR} ${PROGRAM} INPUT_FILE "${top}/in"
                  OUTPUT_FILE "${top}/out" ERROR_FILE "${top}/trace" RESULT_VARIABLE code
                  WORKING_DIRECTORY "${run}")
  if(trace)
    # The temporary file's handle, then its flush, then the move and its flags, all on the
    # program's thread (wine's own programs make .tmp files too).
    set(made "stock\\.txt\\.[0-9]+\\.tmp\",4")
    set(wanted "${made}|CreateFileW\\(\\)|NtFlushBuffersFile|MoveFileExW")
    file(STRINGS "${top}/trace" calls REGEX "${wanted}")
    string(REGEX MATCH "([0-9a-f]+):Call[^;]*${made}" thread "${calls}")
    list(FILTER calls INCLUDE REGEX "^${CMAKE_MATCH_1}:")
    string(JOIN "\n" calls ${calls})
    string(REGEX MATCH "${made}[0-9a-f]*,[0-9a-f]+,[0-9a-f]+,([0-9a-f]+)" created "${calls}")
    set(disposition "${CMAKE_MATCH_1}") # 1: CREATE_NEW, which fails where a file is there
    string(REGEX MATCH "${made}[^\n]*\n[^\n]*retval=([0-9a-f]+)" handle "${calls}")
    if(calls MATCHES "NtFlushBuffersFile\\(${CMAKE_MATCH_1},.*MoveFileExW\\([^\n]*,([0-9a-f]+)\\)")
      file(APPEND "${top}/out" "made with disposition ${disposition}, flushed, then moved with \
flags ${CMAKE_MATCH_1}\r\n")
    endif()
  endif()
  # Compared as hexadecimal, since file(READ) drops carriage returns.
  string(REPLACE "\n" "\r\n" out "${out}")
  file(WRITE "${top}/expected" "${out}")
  file(READ "${top}/expected" out HEX)
  file(READ "${top}/out" got HEX)
  file(READ "${top}/out" shown)
  set(gotAfter "<none>")
  if(IS_DIRECTORY "${run}/stock.txt")
    set(gotAfter "<directory>")
  elseif(ARGN STREQUAL "LINK" AND NOT IS_SYMLINK "${run}/stock.txt")
    set(gotAfter "<not a link>")
  elseif(EXISTS "${run}/stock.txt")
    file(READ "${run}/stock.txt" gotAfter HEX)
    file(WRITE "${top}/after" "${after}")
    file(READ "${top}/after" after HEX)
  endif()
  file(GLOB left RELATIVE "${run}" "${run}/*")
  list(REMOVE_ITEM left stock.txt stock.txt.lock) # the lock file stays, by design
  if(got STREQUAL out AND gotAfter STREQUAL after AND status STREQUAL code AND NOT left)
    message("passed ${name}")
  else()
    message("FAILED ${name}: status ${code} (want ${status}), left: ${left}\nstock.txt: \
${gotAfter}\nwanted:    ${after}\noutput:\n${shown}")
    set(failed ${failed} ${name} PARENT_SCOPE)
  endif()
endfunction()

list_of("5 | a | 1 | 1\n" 1)
session(HelpAndANewFileInCrLfThenEndOfInputAtThePrompt "<none>" "help new 5 a 1 1"
        "${start}${help}${asked}${listing}>\n" "5|a|1|1|\r\n" 0)
session(DirectoryAtStockTxt "<directory>" "new 5 a 1 1 exit exit" "could not read 'stock.txt'; \
saving is off until 'read' succeeds\n${start}${asked}${notSaved}${listing}>the last changes are \
not saved in 'stock.txt'; type exit again to leave without them\n>" "<directory>" 1)
list_of("1 | a${ctrlZ}b | 2 | 3\n2 | c | 1 | 1\n3 | d | 1 | 1\n" 8)
session(CtrlZKeptAndLfAndCrLinesReplacedWholeThroughALink "1|a${ctrlZ}b|2|3|\n2|c|1|1|\r3|d|1|1|\r"
        "write inv exit" "${start}>${listing}>" "1|a${ctrlZ}b|2|3|\r\n2|c|1|1|\r\n3|d|1|1|\r\n" 0
        LINK)
list_of("3 | nails | 2 | 100\n4 | screws | 1 | -5\n5 | a | 1 | 1\n" 196)
session(ReadOnlyFileIsNotReplacedAndInputEndsInADialogue "${example}" "new 5 a 1 1 new 6"
        "${start}${asked}${notSaved}${listing}>Enter id (number): Enter name (word): \nthe last \
changes are not saved in 'stock.txt'\n" "${example}" 1 READONLY)
set(changed "not saved: 'stock.txt' was changed since it was last read or written here; 'write' \
replaces it with this table, 'read' loads it and drops this change\n")
set(out "${start}")
macro(step text rows monies)
  list_of("3 | nails | 2 | 100\n4 | screws | 1 | -5\n${rows}" ${monies})
  string(APPEND out "${text}${listing}>")
endmacro()
set(a "5 | a | 1 | 1\n") # the products saved; b and d are refused
set(c "${a}7 | c | 1 | 1\n")
step("${asked}" "${a}" 196)
step("${asked}${changed}" "${a}6 | b | 1 | 1\n" 197)
step("" "${a}" 196)
step("${asked}" "${c}" 197)
step("${asked}${changed}" "${c}8 | d | 1 | 1\n" 198)
find_program(touch touch)
find_program(dd dd)
if(touch AND dd)
  session(AnotherIndexOrOtherBytesAreNotOverwrittenUntilWrite "${example}" "" "${out}>"
          "3|nails|2|100|\r\n4|screws|1|-5|\r\n5|a|1|1|\r\n7|c|1|1|\r\n8|d|1|1|\r\n" 0 TYPIST)
else()
  message("skipped the hand edits: they need touch and dd, to put a time back and edit in place")
endif()

set(crlf "3|nails|2|100|\r\n4|screws|1|-5|\r\n")
set(flushed "made with disposition 00000001, flushed, then moved with flags 00000009\n")
list_of("3 | nails | 2 | 100\n4 | screws | 1 | -5\n5 | a | 1 | 1\n" 196)
set(first "${listing}")
list_of("3 | nails | 2 | 100\n4 | screws | 1 | -5\n5 | a | 1 | 1\n6 | b | 1 | 1\n" 197)
session(AReaderOpeningTheFileOnlyDelaysTheSave "${example}" ""
        "${start}${asked}${first}>${asked}${listing}>${flushed}"
        "${crlf}5|a|1|1|\r\n6|b|1|1|\r\n" 0 HOLD stock.txt "new 5 a 1 1" "new 6 b 1 1 exit")

# A Windows copy and a Linux copy in one folder, in step: each loads and adds a product a hundred
# times, the Linux copy's command 0 to 9 milliseconds late, which is when a Windows copy under
# wine and a Linux one here reach their last looks together. Every save that either reported
# done must be in the file at the end, and none may fail: the two take one lock, and let it go.
find_program(bash bash)
if(NOT EMULATOR OR NOT TWIN OR NOT bash)
  message("skipped the Windows and Linux copies in one folder: they need wine, bash and TWIN")
else()
  set(top "${WORK}/twins")
  file(REMOVE_RECURSE "${top}")
  file(MAKE_DIRECTORY "${top}/run")
  set(ENV{WINEPREFIX} "${top}/wine")
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} --version OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND ${bash} -c [[
set -u; cd run; mkfifo ../w ../l; exec 3<>../w 4<>../l
"$1" "$2" <../w >../ow 2>/dev/null & "$3" <../l >../ol &
n() { grep -c monies: ../o$1; }
for i in $(seq 100); do
  echo "read new $((1000 + i)) w 1 1" >&3; sleep 0.00$((i * 7 % 10))
  echo "read new $((2000 + i)) l 1 1" >&4
  for poll in $(seq 3000); do # each copy's two listings, for up to 30 s
    [ $(n w) -ge $((2 * i)) ] && [ $(n l) -ge $((2 * i)) ] && continue 2; sleep 0.01
  done; break
done
echo exit exit >&3; echo exit exit >&4; wait
for v in w:1000 l:2000; do awk -v RS='Enter quantity \\(number\\): ' -v b=${v#*:} \
  'NR > 1 && !/^(not saved|could not save)/ { print b + NR - 1 "|" }' ../o${v%:*}
done >../saved
echo after $i rounds, lost: $(tr -d '\r' <stock.txt |
  awk -F'|' 'NR == FNR { have[$1]; next } !($1 in have)' - ../saved | wc -l) of $(wc -l <../saved), \
  failed: $(cat ../ow ../ol | grep -c 'could not save')
]] twins ${EMULATOR} ${PROGRAM} ${TWIN}
                  WORKING_DIRECTORY "${top}" OUTPUT_VARIABLE lost)
  if(lost MATCHES "^after 100 rounds, lost: 0 of [1-9][0-9]*, failed: 0")
    message("passed AWindowsAndALinuxCopyInOneFolderLoseNoSaveThatTheyReportedDone")
  else()
    message("FAILED AWindowsAndALinuxCopyInOneFolderLoseNoSaveThatTheyReportedDone: ${lost}")
    list(APPEND failed AWindowsAndALinuxCopyInOneFolderLoseNoSaveThatTheyReportedDone)
  endif()
endif()

# At a console: the program in a tmux pane under wine, which gives it a console of its own.
# A name typed beyond ASCII, one character beyond the Basic Multilingual Plane included, is saved
# as UTF-8 and listed as typed; a name saved in the console's code page (437) shows as before.
# (Wine's console shows a character beyond the plane as two marks, its own echo too.)
find_program(tmux tmux)
if(NOT EMULATOR OR NOT tmux)
  message("skipped the console session: it needs tmux, and wine")
else()
  set(top "${WORK}/console")
  file(REMOVE_RECURSE "${top}")
  file(MAKE_DIRECTORY "${top}/run")
  string(ASCII 130 oem) # é in code page 437
  file(WRITE "${top}/run/stock.txt" "1|caf${oem}|2|3|\r\n")
  set(pane ${tmux} -u -S "${top}/tmux")
  execute_process(COMMAND ${pane} new-session -d -x 100 -y 30 "cd '${top}/run' && env \
LANG=C.UTF-8 WINEPREFIX='${top}/wine' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' \
'${EMULATOR}' '${PROGRAM}'; echo $? >../status; sleep 600")
  # Waits up to a minute until the screen shows `wanted`, then types `words` and Enter.
  function(type wanted words)
    foreach(poll RANGE 600)
      execute_process(COMMAND ${pane} capture-pane -p OUTPUT_VARIABLE screen)
      if(screen MATCHES "${wanted}")
        break()
      endif()
      execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.1)
    endforeach()
    execute_process(COMMAND ${pane} send-keys -l "${words}")
    execute_process(COMMAND ${pane} send-keys Enter)
    set(screen "${screen}" PARENT_SCOPE)
  endfunction()
  type("exit: exits the program\n>" "new 2 né😀 4 5")
  type("monies:26\n>" "inv")
  type("inv\n[^>]*monies:26\n>" "exit")
  foreach(poll RANGE 600)
    if(EXISTS "${top}/status")
      break()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.1)
  endforeach()
  execute_process(COMMAND ${pane} kill-server)
  file(READ "${top}/run/stock.txt" saved HEX)
  string(REGEX MATCH "inv\n.*" listed "${screen}")
  # 1|caf\x82|2|3| and 2|n\xc3\xa9\xf0\x9f\x98\x80|4|5|, in CR LF
  if(saved STREQUAL "317c636166827c327c337c0d0a327c6ec3a9f09f98807c347c357c0d0a" AND
     listed MATCHES "\n1 \\| café \\| 2 \\| 3\n2 \\| né[^ ]* \\| 4 \\| 5\n")
    message("passed TypedAtAConsoleSavedAsUtf8AndShownAsTyped")
  else()
    message("FAILED TypedAtAConsoleSavedAsUtf8AndShownAsTyped: stock.txt ${saved}\n${screen}")
    list(APPEND failed TypedAtAConsoleSavedAsUtf8AndShownAsTyped)
  endif()
endif()

if(failed)
  message(FATAL_ERROR "Windows sessions failed: ${failed}")
endif()

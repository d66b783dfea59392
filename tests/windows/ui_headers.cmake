# Fails when a file under src/ui includes a POSIX or Linux header, so that a Windows build of the
# app needs nothing but Qt: what the app needs of the system goes through src/platform.
#   cmake -DUI_DIR=src/ui -P tests/windows/ui_headers.cmake
set(system_headers unistd.h fcntl.h signal.h poll.h termios.h dirent.h pwd.h grp.h elf.h dlfcn.h
    pthread.h netdb.h spawn.h)
file(GLOB files ${UI_DIR}/*.cpp ${UI_DIR}/*.h ${UI_DIR}/*.in)
set(found "")
foreach(f ${files})
  get_filename_component(name ${f} NAME)
  file(STRINGS ${f} includes REGEX "^[ \t]*#[ \t]*include[ \t]*<")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>.*" "\\1" header "${line}")
    list(FIND system_headers ${header} plain)
    if(plain GREATER -1 OR header MATCHES "^(sys|linux|netinet|arpa|asm)/")
      list(APPEND found "${name} includes <${header}>")
    endif()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "POSIX or Linux headers under src/ui (move the calls into src/platform):\n  ${text}")
endif()
message(STATUS "src/ui includes no POSIX or Linux header")

# Windows only: what Kestrane.dll imports and exports, read from its PE headers.
if(WIN32)
  if(CMAKE_OBJDUMP)
    set(KS_OBJDUMP ${CMAKE_OBJDUMP})
  else()
    find_program(KS_OBJDUMP i686-w64-mingw32-objdump REQUIRED)
  endif()
  add_test(NAME win32.dll_imports
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_imports.sh ${KS_OBJDUMP} $<TARGET_FILE:kestrane>)
endif()

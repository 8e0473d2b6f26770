# The PC/SC tests: a real pcscd with vsmartcard's vpcd reader, and our
# virtual card (kestrane_vcard) in it. They share the one virtual reader, so
# they run one at a time; each starts its own virtual cards. Without a pcscd
# serving the vpcd reader they are skipped (scripts/test.sh starts one
# through pcsc/tests/with_pcscd.sh).
add_executable(kestrane_vcard ${CMAKE_CURRENT_LIST_DIR}/vcard.cpp)
target_include_directories(kestrane_vcard PRIVATE ${PROJECT_SOURCE_DIR}/bench)
target_link_libraries(kestrane_vcard PRIVATE kestrane_bench)

# A long-lived host over the PC/SC library, for the card-swap cases; its
# own vendor functions (which pause on request) sit in front of the PC/SC
# library's, so they are exported.
add_executable(pcsc_host ${CMAKE_CURRENT_LIST_DIR}/pcsc_host.cpp)
target_include_directories(pcsc_host PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(pcsc_host PRIVATE kestrane kestrane_pcsc ${CMAKE_DL_LIBS})
set_target_properties(pcsc_host PROPERTIES ENABLE_EXPORTS ON)

foreach(case cards password faults readers session midway)
  add_test(NAME pcsc_${case} COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/pcsc_test.sh ${case})
  set_tests_properties(pcsc_${case} PROPERTIES
    ENVIRONMENT "KS_TOOL=$<TARGET_FILE:kestrane_tool>;KS_VCARD=$<TARGET_FILE:kestrane_vcard>;KS_HOST=$<TARGET_FILE:pcsc_host>"
    RESOURCE_LOCK vpcd_reader SKIP_RETURN_CODE 77 TIMEOUT 600)
endforeach()

# The PC/SC tests: a real pcscd with vsmartcard's vpcd reader, and our
# virtual card (kestrane_vcard) in it. They share the one virtual reader, so
# they run one at a time; each starts its own virtual cards. Without a pcscd
# serving the vpcd reader they are skipped (scripts/test.sh starts one
# through pcsc/tests/with_pcscd.sh).
add_executable(kestrane_vcard ${CMAKE_CURRENT_LIST_DIR}/vcard.cpp)
target_include_directories(kestrane_vcard PRIVATE ${PROJECT_SOURCE_DIR}/bench)
target_link_libraries(kestrane_vcard PRIVATE kestrane_bench)

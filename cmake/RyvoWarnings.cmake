add_library(ryvo_warnings INTERFACE)
target_compile_options(ryvo_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough
    $<$<BOOL:${RYVO_WERROR}>:-Werror>)

if(RYVO_FUZZ)
    # Coverage instrumentation everywhere; only the fuzz targets link libFuzzer's own main.
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT RYVO_SANITIZE STREQUAL "")
        message(FATAL_ERROR "RYVO_FUZZ needs clang and no RYVO_SANITIZE")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=all -g -O1)
    add_link_options(-fsanitize=address,undefined)
elseif(RYVO_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -g -O1)
    add_link_options(-fsanitize=thread)
elseif(RYVO_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all -g -O1)
    add_link_options(-fsanitize=address,undefined)
elseif(NOT RYVO_SANITIZE STREQUAL "")
    message(FATAL_ERROR "RYVO_SANITIZE must be empty, 'thread' or 'address'")
endif()

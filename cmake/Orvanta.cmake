# Shared build settings and the helpers every folder uses.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(Boost 1.74 REQUIRED)

add_library(orvanta_options INTERFACE)
target_compile_options(orvanta_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
  -Wold-style-cast -Wcast-align -Wunused -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
# Asio's headers need <utility> ahead of them on g++ 12 in C++23 mode; Asio uses no deprecated
# io_service names here.
target_compile_definitions(orvanta_options INTERFACE BOOST_ASIO_NO_DEPRECATED)
if(ORVANTA_FUZZ)
  # libstdc++ 12 offers std::expected only when __cpp_concepts says C++20's final concepts, which
  # clang 16 implements without announcing them.
  target_compile_options(orvanta_options INTERFACE -U__cpp_concepts -D__cpp_concepts=202002L
    -fsanitize=fuzzer-no-link)
  set(ORVANTA_SANITIZE ON)
endif()
if(ORVANTA_SANITIZE)
  target_compile_options(orvanta_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  target_link_options(orvanta_options INTERFACE -fsanitize=address,undefined)
endif()

# The test build makes the project's libraries shared: each of them is then on disk once, not once
# in every test program that links it (with the sanitizers' data, that was gigabytes).
if(ORVANTA_SHARED)
  set(ORVANTA_LIBRARY_KIND SHARED)
else()
  set(ORVANTA_LIBRARY_KIND STATIC)
endif()

# Static libraries are thin archives that name their objects instead of copying them: the test
# build links each library into many test programs, and full copies doubled its size on disk.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcT <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qT <TARGET> <LINK_FLAGS> <OBJECTS>")
endforeach()

pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
pkg_check_modules(ICU_UC REQUIRED IMPORTED_TARGET icu-uc)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-xtest xcb-randr xcb-xfixes xcb-xinput xcb-damage
  xcb-composite xcb-render xcb-xkb xcb-ewmh xcb-icccm xcb-dpms xcb-screensaver xcb-shape xcb-res)
pkg_check_modules(XKBCOMMON REQUIRED IMPORTED_TARGET xkbcommon xkbcommon-x11)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-unix-2.0)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale libswresample)
pkg_check_modules(PNG REQUIRED IMPORTED_TARGET libpng)
find_package(Qt6 REQUIRED COMPONENTS Gui Widgets Network OpenGL OpenGLWidgets Test)

# One library per source folder: every .cpp of the folder, public headers found from src/. A
# folder of headers alone (interfaces) is an interface library.
function(orvanta_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  if(sources)
    add_library(${name} ${ORVANTA_LIBRARY_KIND} ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC orvanta_options ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE orvanta_options ${ARGN})
  endif()
endfunction()

# One GoogleTest binary per test folder, discovered by CTest; a folder without tests yet is
# skipped. Extra CTest properties follow PROPERTIES.
function(orvanta_test name dir)
  cmake_parse_arguments(ARG "" "" "PROPERTIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_UNPARSED_ARGUMENTS} orvanta_test_support GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 ${ARG_PROPERTIES})
endfunction()

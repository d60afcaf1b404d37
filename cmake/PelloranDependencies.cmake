# Every outside library the project uses, found once here and offered as a target:
#   pelloran_wx_base            wxWidgets' base: strings, files, dates, configuration, logging
#   pelloran_wx                 wxWidgets with windows on top of it (richtext html xml core base)
#   PkgConfig::PELLORAN_GSOAP   the gSOAP runtime, plain (the wizard's client)
# and on Linux only:
#   PkgConfig::PELLORAN_GSOAPSSL  the gSOAP runtime with OpenSSL (the service)
#   PkgConfig::PELLORAN_CURL, PkgConfig::PELLORAN_OPENSSL, PkgConfig::PELLORAN_UUID,
#   PkgConfig::PELLORAN_ACL, PkgConfig::PELLORAN_HIREDIS (the service's shared state)
# On Windows the platform's own libraries stand in for curl, uuid and acl; they are named
# where they are used.

# CMake's FindwxWidgets makes no imported target; wrap its results in two. The logic libraries
# link the base alone, so that a window used below the pages fails to link.
find_package(wxWidgets 3.2 REQUIRED COMPONENTS base)
add_library(pelloran_wx_base INTERFACE)
target_include_directories(pelloran_wx_base SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(pelloran_wx_base INTERFACE ${wxWidgets_DEFINITIONS})
separate_arguments(pelloran_wx_flags UNIX_COMMAND "${wxWidgets_CXX_FLAGS}")
target_compile_options(pelloran_wx_base INTERFACE "$<$<COMPILE_LANGUAGE:CXX>:${pelloran_wx_flags}>")
target_link_libraries(pelloran_wx_base INTERFACE ${wxWidgets_LIBRARIES})
find_package(wxWidgets 3.2 REQUIRED COMPONENTS richtext html xml core base)
add_library(pelloran_wx INTERFACE)
target_link_libraries(pelloran_wx INTERFACE pelloran_wx_base ${wxWidgets_LIBRARIES})

find_package(PkgConfig REQUIRED)
pkg_check_modules(PELLORAN_GSOAP REQUIRED IMPORTED_TARGET gsoap++)

if(NOT WIN32)
  pkg_check_modules(PELLORAN_GSOAPSSL REQUIRED IMPORTED_TARGET gsoapssl++)
  pkg_check_modules(PELLORAN_CURL REQUIRED IMPORTED_TARGET libcurl)
  pkg_check_modules(PELLORAN_OPENSSL REQUIRED IMPORTED_TARGET openssl)
  pkg_check_modules(PELLORAN_UUID REQUIRED IMPORTED_TARGET uuid)
  pkg_check_modules(PELLORAN_ACL REQUIRED IMPORTED_TARGET libacl)
  pkg_check_modules(PELLORAN_HIREDIS REQUIRED IMPORTED_TARGET hiredis)
  pkg_check_modules(PELLORAN_GTK REQUIRED IMPORTED_TARGET gtk+-3.0)
endif()

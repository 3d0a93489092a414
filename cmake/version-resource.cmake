# The version resource every shipped exe carries: versions from
# TOLVANE_VERSION (project()'s unless the package names another),
# maker and product named once here, description and file name per exe;
# and one application manifest for both (tolvane.manifest.in).
#
# The manifest asks to run as the invoker, without UI access. Without one,
# Windows treats a 32-bit interactive program as a legacy one and gives it
# file and registry virtualization, so tolvane-check.exe run by a standard
# user could read a VirtualStore copy of tolvane.ini instead of the file the
# service reads. It has no compatibility section and names no supportedOS
# on purpose: the host code rests on GetVersionExA answering as it does for
# a program that declares none (6.2 on Windows 8.1 and later). The
# trustInfo element carries one namespace of its own, the form Windows XP
# reads.
# The manifest's version is the version with ".0" appended and the
# version resource takes its three parts, so any other form fails here, in
# plain words, not as a bare windres syntax error or an exe that Windows
# refuses to start for an invalid manifest.
set(TOLVANE_VERSION "" CACHE STRING
    "The version of the exes when not project()'s: scripts/package.sh gives its package's")
if(TOLVANE_VERSION STREQUAL "")
    # Taken afresh at every configure: a cached copy would outlive a new
    # project() version.
    set(TOLVANE_VERSION "${PROJECT_VERSION}")
endif()
set(TOLVANE_VERSION_FORM "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
# tolvane_version_parts(VERSION): TOLVANE_RC_MAJOR, _MINOR and _PATCH, or a
# configuration error naming what is wrong.
function(tolvane_version_parts version)
    if(version MATCHES "${TOLVANE_VERSION_FORM}")
        set(major ${CMAKE_MATCH_1})
        set(minor ${CMAKE_MATCH_2})
        set(patch ${CMAKE_MATCH_3})
        foreach(part ${major} ${minor} ${patch})
            if(part GREATER 65535)
                set(too_large ${part})
            endif()
        endforeach()
    endif()
    if(NOT version MATCHES "${TOLVANE_VERSION_FORM}" OR too_large)
        message(FATAL_ERROR "version ${version}: the version must have three parts, "
                            "MAJOR.MINOR.PATCH, each a number from 0 to 65535 (the manifest "
                            "appends a fourth, 0)")
    endif()
    set(TOLVANE_RC_MAJOR ${major} PARENT_SCOPE)
    set(TOLVANE_RC_MINOR ${minor} PARENT_SCOPE)
    set(TOLVANE_RC_PATCH ${patch} PARENT_SCOPE)
endfunction()
tolvane_version_parts("${TOLVANE_VERSION}")

set(TOLVANE_COMPANY "Verdin")
set(TOLVANE_PRODUCT "Tolvane")
set(TOLVANE_COPYRIGHT "Copyright (C) 2026 Verdin")

# tolvane_version_resource(TARGET DESCRIPTION [VERSION]): VERSION, for
# test copies only, instead of TOLVANE_VERSION.
function(tolvane_version_resource target description)
    set(TOLVANE_RC_VERSION "${TOLVANE_VERSION}")
    if(ARGC GREATER 2)
        set(TOLVANE_RC_VERSION "${ARGV2}")
    endif()
    tolvane_version_parts("${TOLVANE_RC_VERSION}")
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
        set(name ${target})
    endif()
    set(TOLVANE_RC_NAME "${name}")
    set(TOLVANE_RC_FILENAME "${name}${CMAKE_EXECUTABLE_SUFFIX}")
    set(TOLVANE_RC_DESCRIPTION "${description}")
    set(TOLVANE_RC_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/tolvane-${TOLVANE_RC_VERSION}.manifest)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/tolvane.manifest.in ${TOLVANE_RC_MANIFEST} @ONLY)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${TOLVANE_RC_MANIFEST})
endfunction()

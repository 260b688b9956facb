# add_uefi_image(<name> ENTRY <symbol> SOURCES <src>... [DEFINES <d>...] [OUTPUT_DIR <dir>]
#                [FILE_NAME <file name>] [SUBSYSTEM efi_application])
#
# Compiles the sources with clang++ 14 for x86_64-unknown-windows (freestanding C++20, no
# exceptions, no RTTI, no red zone, optimised for size) and links them with lld-link into a
# UEFI boot-service driver: PE32+, subsystem 11, base relocations kept, no imports, no default
# libraries. The result is <OUTPUT_DIR or build/images>/<FILE_NAME or name>.efi, built by the
# target <name>_image, which is part of `all`. Every link is followed by the two image steps
# beside this file: compact_image.py (the file layout: a bare 64-byte DOS header, all sixteen data
# directories as EDK II's GenFw writes them, .reloc folded into the section before it) and
# check_image.py (format, relocations, no imports, entry point, page-aligned layout, section
# flags against what the map puts in each section, and the image's limit from
# UEFI_IMAGE_SIZE_LIMITS when it has one), which prints the image's
# size; the same check is registered as the test image_check.<name>. lld-link's map of the image
# (the target property UEFI_IMAGE_MAP) is where tools/patch_pcd.py finds a patchable value.
# SPDX-License-Identifier: BSD-2-Clause-Patent

find_program(UEFI_CXX NAMES clang++-14 clang++ REQUIRED)
find_program(UEFI_LINKER NAMES lld-link-14 lld-link REQUIRED)

set(UEFI_IMAGE_DIR "${CMAKE_BINARY_DIR}/images")
set_property(GLOBAL PROPERTY UEFI_IMAGES "")

# The limit of image <name> from UEFI_IMAGE_SIZE_LIMITS into <out>, empty when it has none.
function(uefi_image_size_limit name out)
  set(limit "")
  foreach(entry IN LISTS UEFI_IMAGE_SIZE_LIMITS)
    if(entry MATCHES "^${name}:([0-9]+)$")
      set(limit "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${out} "${limit}" PARENT_SCOPE)
endfunction()

list(JOIN UEFI_IMAGE_SIZE_LIMITS "\n" size_limit_lines)
file(WRITE "${UEFI_IMAGE_DIR}/size_limits.txt" "${size_limit_lines}\n")

set(UEFI_CXX_FLAGS
  -target x86_64-unknown-windows
  -std=c++20 -ffreestanding -fno-exceptions -fno-rtti -fno-ms-extensions
  -fno-stack-protector -fno-strict-aliasing -mno-red-zone -fno-threadsafe-statics -fno-builtin
  -Oz -flto -Wall -Wextra -Werror
  -DUEFI_IMAGE=1 -DGNU_EFI_USE_MS_ABI
  -isystem "${EFI_INCLUDE_DIR}" -isystem "${EFI_INCLUDE_DIR}/x86_64"
  -I "${CMAKE_SOURCE_DIR}")

function(add_uefi_image name)
  if(NOT GUARDS_BUILD_IMAGES)
    return()
  endif()
  cmake_parse_arguments(IMG "" "ENTRY;OUTPUT_DIR;FILE_NAME;SUBSYSTEM" "SOURCES;DEFINES" ${ARGN})
  uefi_image_size_limit(${name} IMG_MAX_BYTES)
  if(NOT IMG_ENTRY)
    message(FATAL_ERROR "add_uefi_image(${name}): ENTRY is required")
  endif()
  if(NOT IMG_OUTPUT_DIR)
    set(IMG_OUTPUT_DIR "${UEFI_IMAGE_DIR}")
  endif()
  if(NOT IMG_FILE_NAME)
    set(IMG_FILE_NAME "${name}")
  endif()
  if(NOT IMG_SUBSYSTEM)
    set(IMG_SUBSYSTEM efi_boot_service_driver)
  endif()
  if(IMG_SUBSYSTEM STREQUAL "efi_application")
    set(subsystem_number 10)
  else()
    set(subsystem_number 11)
  endif()
  set(checked "${IMG_OUTPUT_DIR}/${IMG_FILE_NAME}.efi")
  if(IMG_MAX_BYTES)
    set(checked "${checked}:${IMG_MAX_BYTES}")
  endif()
  set(defines "")
  foreach(d IN LISTS IMG_DEFINES)
    list(APPEND defines "-D${d}")
  endforeach()

  set(objdir "${CMAKE_CURRENT_BINARY_DIR}/${name}.uefi")
  set(objects "")
  foreach(src IN LISTS IMG_SOURCES)
    get_filename_component(abs "${src}" ABSOLUTE)
    file(RELATIVE_PATH rel "${CMAKE_SOURCE_DIR}" "${abs}")
    string(REPLACE "/" "_" stem "${rel}")
    set(obj "${objdir}/${stem}.obj")
    add_custom_command(
      OUTPUT "${obj}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${objdir}"
      COMMAND "${UEFI_CXX}" ${UEFI_CXX_FLAGS} ${defines} -MD -MF "${obj}.d" -c "${abs}" -o "${obj}"
      DEPENDS "${abs}"
      DEPFILE "${obj}.d"
      COMMENT "UEFI C++ ${rel} (${name})"
      VERBATIM)
    list(APPEND objects "${obj}")
  endforeach()

  # Link-time optimisation across the driver and its support sources and a 32-byte file alignment
  # keep the files small. Two sections, each flagged for what it holds: .text (code, with the
  # constants of .rdata merged in) read/execute, and .data (initialised data, with .bss at its
  # end) read/write, which holds every global written at run time. In memory each section starts
  # on a page of its own (/align:4096), so a firmware that applies image protection (EDK II's DXE
  # core skips any image whose SectionAlignment is below a page) maps .text read-only and .data
  # and the headers non-executable; the header's NX_COMPAT (lld-link's default) is then true. The
  # pages cost memory, not flash: the file keeps its 32-byte alignment (/filealign:32). Image
  # base 0, as EDK II's own images: the DXE core tries to allocate an image at its base only when
  # that base is at or above 1 MiB, and otherwise places it where it has room and applies its
  # relocations. check_image.py reads the map to hold the link to its sections. lld-link
  # warns that /align wants /driver: that warning is about Windows kernel drivers and does not
  # apply to UEFI images. A link time of 0 in the header (/timestamp:0) makes two builds of the
  # same sources give the same bytes.
  set(image "${IMG_OUTPUT_DIR}/${IMG_FILE_NAME}.efi")
  add_custom_command(
    OUTPUT "${image}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${IMG_OUTPUT_DIR}"
    COMMAND "${UEFI_LINKER}" /nologo /subsystem:${IMG_SUBSYSTEM} /dll /entry:${IMG_ENTRY}
            /nodefaultlib /machine:x64 /timestamp:0 /dynamicbase /opt:ref /opt:icf /base:0 /align:4096 /filealign:32
            /merge:.rdata=.text
            /implib:${objdir}/${name}.lib /map:${objdir}/${name}.map /out:${image} ${objects}
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/cmake/compact_image.py" "${image}"
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/cmake/check_image.py"
            --subsystem ${subsystem_number} --map "${objdir}/${name}.map" "${checked}"
    DEPENDS ${objects} "${CMAKE_SOURCE_DIR}/cmake/check_image.py"
            "${CMAKE_SOURCE_DIR}/cmake/compact_image.py"
    COMMENT "lld-link ${name}.efi"
    VERBATIM)
  add_custom_target(${name}_image ALL DEPENDS "${image}")
  set_property(GLOBAL APPEND PROPERTY UEFI_IMAGES "${image}")
  set_property(TARGET ${name}_image PROPERTY UEFI_IMAGE_PATH "${image}")
  set_property(TARGET ${name}_image PROPERTY UEFI_IMAGE_MAP "${objdir}/${name}.map")
  if(GUARDS_BUILD_TESTS)
    add_test(NAME image_check.${name}
             COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/cmake/check_image.py"
                     --subsystem ${subsystem_number} --map "${objdir}/${name}.map" "${checked}")
    set_tests_properties(image_check.${name} PROPERTIES LABELS image)
  endif()
endfunction()

# add_guard_driver(<name> ENTRY <symbol> SOURCES <src>... SUPPORT <CONTEXT|STRING|SETUP>...)
#
# One source list per driver: the image compiles SOURCES together with the support sources it
# names (support/CMakeLists.txt), and for the host tests the same SOURCES become the static
# library <name>_host, which links the support library and the host backend of the hardware
# seam (hw_seam_host, tests/sim/CMakeLists.txt).
#
# Each driver is built in two flavours from those sources, as EDK II builds every module for a
# RELEASE and a DEBUG target: the release image build/images/<name>.efi (target <name>_image,
# held to the driver's size limit), and the bring-up image build/images/DEBUG/<name>.efi (target
# <name>_debug_image), compiled with GUARDS_DEBUG_LOG and the decision-line formatter
# (support/debug_log.h). No size limit applies to the DEBUG images: they are for bring-up, not
# for a flash budget. The release image does not compile the formatter at all.
set(UEFI_DEBUG_IMAGE_DIR "${UEFI_IMAGE_DIR}/DEBUG")

# The FILE_GUID of driver <name> in integrator_package/modules.ini as a C initialiser, the caller
# ID of its DEBUG image's status codes (GUARDS_FILE_GUID): one place for each module's GUID.
function(module_file_guid_initializer name out_var)
  set(manifest "${CMAKE_SOURCE_DIR}/integrator_package/modules.ini")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${manifest}")
  file(STRINGS "${manifest}" lines)
  set(section "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[(.*)\\]$")
      set(section "${CMAKE_MATCH_1}")
    elseif(section STREQUAL name AND line MATCHES "^file_guid = ([0-9A-F-]+)$")
      # 8-4-4-4-12 hex digits: Data1, Data2, Data3, then the eight bytes of Data4.
      string(REPLACE "-" "" digits "${CMAKE_MATCH_1}")
      string(LENGTH "${digits}" length)
      if(NOT length EQUAL 32)
        message(FATAL_ERROR "integrator_package/modules.ini: malformed file_guid for ${name}")
      endif()
      string(SUBSTRING "${digits}" 0 8 data1)
      string(SUBSTRING "${digits}" 8 4 data2)
      string(SUBSTRING "${digits}" 12 4 data3)
      set(bytes "")
      foreach(offset RANGE 16 30 2)
        string(SUBSTRING "${digits}" ${offset} 2 byte)
        list(APPEND bytes "0x${byte}")
      endforeach()
      list(JOIN bytes "," bytes)
      set(${out_var} "{0x${data1},0x${data2},0x${data3},{${bytes}}}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "integrator_package/modules.ini: no file_guid for ${name}")
endfunction()

function(add_guard_driver name)
  cmake_parse_arguments(DRV "" "ENTRY" "SOURCES;SUPPORT" ${ARGN})
  # Absolute, so that users of the host library's SOURCES property (the fuzz targets) find them.
  list(TRANSFORM DRV_SOURCES PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/")
  set(support "")
  foreach(part IN LISTS DRV_SUPPORT)
    list(APPEND support ${SUPPORT_${part}_SOURCES})
  endforeach()
  add_uefi_image(${name} ENTRY ${DRV_ENTRY} SOURCES ${DRV_SOURCES} ${support})
  module_file_guid_initializer(${name} file_guid)
  add_uefi_image(${name}_debug ENTRY ${DRV_ENTRY} FILE_NAME ${name}
                 OUTPUT_DIR "${UEFI_DEBUG_IMAGE_DIR}"
                 SOURCES ${DRV_SOURCES} ${support} ${SUPPORT_DEBUG_SOURCES}
                 DEFINES GUARDS_DEBUG_LOG "GUARDS_FILE_GUID=${file_guid}")
  if(GUARDS_BUILD_TESTS)
    add_library(${name}_host STATIC ${DRV_SOURCES})
    target_compile_definitions(${name}_host PRIVATE "GUARDS_FILE_GUID=${file_guid}")
    target_link_libraries(${name}_host PUBLIC support_host hw_seam_host uefi_host_headers)
  endif()
endfunction()

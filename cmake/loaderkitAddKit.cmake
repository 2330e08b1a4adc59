# loaderkit_add_kit(<name>
#     INSTALLER <file or target>[=STOREDNAME]
#     [FILES <file or target>[=STOREDNAME]...]
#     [PAYLOAD <files, folders or targets>...]
#     [EXCLUDE <glob>...] [ALLOW_EMPTY] [ALLOW_IMPORTS]
#     OUTPUT <file, or folder with EXTERNAL>
#     [LOADER <file or target> | POSIX]
#     [EXTERNAL] [NO_DEPLOYMENT] [LEVEL <0-12>] [THREADS <n>] [STORED_PREFIX <prefix>]
#     [SOURCE_DATE_EPOCH <seconds>]
#     [EXECUTION_LEVEL <asInvoker|highestAvailable|requireAdministrator>]
#     [SIGN_COMMAND <command>]
#     [ICON <.ico file>] [PICTURE <32x32 .bmp file>]
#     [PRODUCT_NAME <text>] [COMPANY <text>] [DESCRIPTION <text>]
#     [PRODUCT_VERSION <n.n.n.n>] [FILE_VERSION <n.n.n.n>]
#     [COPYRIGHT <text>] [ORIGINAL_FILENAME <name>]
#     [FORCE] [QUIET] [VERBOSE])
#
# Adds the target <name> (built by default) that runs `kitpack build`. Each
# keyword is the `kitpack build` option of the same name (EXCLUDE: --exclude,
# once per pattern; COMPANY: --company; ...); `kitpack build --help` and the
# manual page kitpack(1) say what each does. ICON and PICTURE are files, taken
# like INSTALLER.
#
# The kit is built again when kitpack, the loader or any input changes: a
# target's file, a file, the icon or picture, or a file below a PAYLOAD folder,
# whenever its size or time changes (to an older time too, as after cp -p);
# a file added to or removed from such a folder counts too, and so does a
# changed keyword. For that each build runs a quick check of those sizes and
# times, the target <name>-inputs. Relative inputs are taken from the current source folder, a
# relative OUTPUT from the current build folder. Without LOADER the kit
# carries the installed loader.exe, with POSIX the installed POSIX loader. The
# target's LOADERKIT_OUTPUT property holds the kit's path (the kit file, or the
# folder of an external kit).

# The stamp script beside this file, found from wherever a project calls us.
set(_LOADERKIT_INPUTS_STAMP "${CMAKE_CURRENT_LIST_DIR}/loaderkitInputsStamp.cmake")

function(_loaderkit_input item out_arg out_depends)
  set(source "${item}")
  set(stored "")
  string(FIND "${item}" "=" eq)
  if(eq GREATER -1)
    string(SUBSTRING "${item}" 0 ${eq} source)
    math(EXPR after "${eq} + 1")
    string(SUBSTRING "${item}" ${after} -1 stored)
    set(stored "=${stored}")
  endif()
  if(TARGET "${source}")
    set(${out_arg} "$<TARGET_FILE:${source}>${stored}" PARENT_SCOPE)
    set(${out_depends} "${source}" PARENT_SCOPE)
  else()
    get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    set(${out_arg} "${path}${stored}" PARENT_SCOPE)
    set(${out_depends} "${path}" PARENT_SCOPE)
  endif()
endfunction()

# The loader's argument and what the kit depends on for it. A missing
# installed loader is reported here, at configure time, rather than by every
# build.
function(_loaderkit_loader name out_loader out_depends)
  if(KIT_LOADER)
    _loaderkit_input("${KIT_LOADER}" loader loader_depends)
  else()
    if(KIT_POSIX)
      set(loader "${LOADERKIT_POSIX_LOADER}")
    else()
      set(loader "${LOADERKIT_LOADER}")
    endif()
    if(NOT EXISTS "${loader}")
      message(FATAL_ERROR "loaderkit_add_kit(${name}): this loaderkit install has no ${loader}; "
                          "give LOADER <file or target>")
    endif()
    set(loader_depends "${loader}")
  endif()
  set(${out_loader} "${loader}" PARENT_SCOPE)
  set(${out_depends} "${loader_depends}" PARENT_SCOPE)
endfunction()

# The --payload arguments, what the kit depends on for them, and the files
# found below the payload folders now.
function(_loaderkit_payload out_args out_depends out_listing)
  set(args "")
  set(depends "")
  set(listing "")
  foreach(item IN LISTS KIT_PAYLOAD)
    if(TARGET "${item}")
      list(APPEND args --payload "$<TARGET_FILE:${item}>")
      list(APPEND depends "${item}")
      continue()
    endif()
    get_filename_component(path "${item}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND args --payload "${path}")
    if(IS_DIRECTORY "${path}")
      # CONFIGURE_DEPENDS: every build compares the folder's listing with
      # this one, and configures again when it differs.
      file(GLOB_RECURSE folder_files LIST_DIRECTORIES false CONFIGURE_DEPENDS "${path}/*")
      list(SORT folder_files)
      list(APPEND depends ${folder_files})
      list(APPEND listing ${folder_files})
    else()
      list(APPEND depends "${path}")
    endif()
  endforeach()
  set(${out_args} "${args}" PARENT_SCOPE)
  set(${out_depends} "${depends}" PARENT_SCOPE)
  set(${out_listing} "${listing}" PARENT_SCOPE)
endfunction()

# A value as one element of a list: a backslash at its end would escape the
# ";" that ends it (STORED_PREFIX C:\\KIT\\ ran into the next argument), so
# it is written as a generator expression that gives the backslash back.
function(_loaderkit_list_safe var)
  string(REGEX REPLACE "\\\\$" "$<1:\\\\>" value "${${var}}")
  set(${var} "${value}" PARENT_SCOPE)
endfunction()

# The options that need no more than the keyword's value; the icon and the
# picture are inputs the kit depends on.
function(_loaderkit_options out_args out_depends)
  set(args "")
  set(depends "")
  foreach(pair IN LISTS _LOADERKIT_VALUE_OPTIONS)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 keyword)
    list(GET pair 1 option)
    if(DEFINED KIT_${keyword})
      set(value "${KIT_${keyword}}")
      _loaderkit_list_safe(value)
      list(APPEND args ${option} "${value}")
    endif()
  endforeach()
  foreach(pair IN LISTS _LOADERKIT_FLAG_OPTIONS)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 keyword)
    list(GET pair 1 option)
    if(KIT_${keyword})
      list(APPEND args ${option})
    endif()
  endforeach()
  foreach(pattern IN LISTS KIT_EXCLUDE)
    list(APPEND args --exclude "${pattern}")
  endforeach()
  foreach(keyword ICON PICTURE)
    if(KIT_${keyword})
      get_filename_component(path "${KIT_${keyword}}" ABSOLUTE
                             BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      string(TOLOWER "--${keyword}" option)
      list(APPEND args ${option} "${path}")
      list(APPEND depends "${path}")
    endif()
  endforeach()
  if(KIT_SIGN_COMMAND)
    list(JOIN KIT_SIGN_COMMAND " " sign)
    _loaderkit_list_safe(sign)
    list(APPEND args --sign-command "${sign}")
  endif()
  set(${out_args} "${args}" PARENT_SCOPE)
  set(${out_depends} "${depends}" PARENT_SCOPE)
endfunction()

# A file that changes when, and only when, the kit's command or the files
# below its payload folders do. A file removed from a folder leaves nothing
# newer than the kit behind, and neither does one added with an old time: the
# configure run that the changed listing starts rewrites this file, and the
# kit, which depends on it, is built again.
function(_loaderkit_inputs_file name command listing out_file)
  set(file "${CMAKE_CURRENT_BINARY_DIR}/loaderkit/${name}.inputs")
  string(REPLACE ";" "\n" text "command:;${command};payload files:;${listing}")
  set(old "")
  if(EXISTS "${file}")
    file(READ "${file}" old)
  endif()
  if(NOT old STREQUAL "${text}\n")
    file(WRITE "${file}" "${text}\n")
  endif()
  set(${out_file} "${file}" PARENT_SCOPE)
endfunction()

# The target <name>-inputs, run by every build, rewrites the stamp file only
# when an input's size or time differs from what it holds; the kit depends
# on the stamp. The list of files is written per configuration, as a
# target's file may differ between them.
function(_loaderkit_inputs_stamp name depends out_stamp)
  set(files "")
  foreach(item IN LISTS depends)
    if(TARGET "${item}")
      list(APPEND files "$<TARGET_FILE:${item}>")
    else()
      list(APPEND files "${item}")
    endif()
  endforeach()
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/loaderkit")
  set(stamp "${dir}/${name}.stamp")
  string(REPLACE ";" "\n" lines "${files}")
  file(GENERATE OUTPUT "${dir}/${name}-$<CONFIG>.files" CONTENT "${lines}\n")
  add_custom_target(${name}-inputs
    COMMAND "${CMAKE_COMMAND}" "-DLIST=${dir}/${name}-$<CONFIG>.files" "-DOUT=${stamp}"
            -P "${_LOADERKIT_INPUTS_STAMP}"
    BYPRODUCTS "${stamp}"
    VERBATIM)
  # A file a target of the project makes is stamped once it is made, not
  # before: else the first build stamps it missing, and the next rebuilds.
  foreach(item IN LISTS depends)
    if(TARGET "${item}")
      get_target_property(imported "${item}" IMPORTED)
      if(NOT imported)
        add_dependencies(${name}-inputs "${item}")
      endif()
    endif()
  endforeach()
  set(${out_stamp} "${stamp}" PARENT_SCOPE)
endfunction()

function(loaderkit_add_kit name)
  # The keywords passed on as the option of the same meaning: those with one
  # value, and the flags.
  set(_LOADERKIT_VALUE_OPTIONS
    LEVEL=--level THREADS=--threads STORED_PREFIX=--stored-prefix
    EXECUTION_LEVEL=--execution-level PRODUCT_NAME=--product-name COMPANY=--company
    DESCRIPTION=--description PRODUCT_VERSION=--product-version FILE_VERSION=--file-version
    COPYRIGHT=--copyright ORIGINAL_FILENAME=--original-filename)
  set(_LOADERKIT_FLAG_OPTIONS
    EXTERNAL=--external ALLOW_EMPTY=--allow-empty ALLOW_IMPORTS=--allow-imports
    FORCE=--force QUIET=--quiet
    VERBOSE=--verbose NO_DEPLOYMENT=--no-deployment)
  # POSIX only chooses the installed loader, which is always named.
  string(REGEX REPLACE "=[^;]*" "" flags "POSIX;${_LOADERKIT_FLAG_OPTIONS}")
  string(REGEX REPLACE "=[^;]*" "" values "${_LOADERKIT_VALUE_OPTIONS}")
  list(APPEND values INSTALLER OUTPUT LOADER SOURCE_DATE_EPOCH ICON PICTURE)
  cmake_parse_arguments(PARSE_ARGV 1 KIT "${flags}" "${values}"
                        "FILES;PAYLOAD;EXCLUDE;SIGN_COMMAND")
  if(KIT_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "loaderkit_add_kit(${name}): unknown arguments: ${KIT_UNPARSED_ARGUMENTS}")
  endif()
  # An empty list after FILES, PAYLOAD or EXCLUDE is fine; a keyword that
  # needs one value and has none would pass on an option without it.
  set(missing ${KIT_KEYWORDS_MISSING_VALUES})
  list(FILTER missing EXCLUDE REGEX "^(FILES|PAYLOAD|EXCLUDE|SIGN_COMMAND)$")
  if(missing)
    message(FATAL_ERROR "loaderkit_add_kit(${name}): no value given for ${missing}")
  endif()
  if(NOT KIT_INSTALLER OR NOT KIT_OUTPUT)
    message(FATAL_ERROR "loaderkit_add_kit(${name}): INSTALLER and OUTPUT are required")
  endif()
  if(KIT_LOADER AND KIT_POSIX)
    message(FATAL_ERROR "loaderkit_add_kit(${name}): give LOADER or POSIX, not both")
  endif()

  _loaderkit_loader(${name} loader depends)
  list(APPEND depends loaderkit::kitpack)
  set(args build --loader "${loader}")
  _loaderkit_input("${KIT_INSTALLER}" installer installer_depends)
  list(APPEND args --installer "${installer}")
  list(APPEND depends ${installer_depends})
  foreach(item IN LISTS KIT_FILES)
    _loaderkit_input("${item}" file file_depends)
    list(APPEND args --file "${file}")
    list(APPEND depends ${file_depends})
  endforeach()
  _loaderkit_payload(payload_args payload_depends listing)
  _loaderkit_options(option_args option_depends)
  list(APPEND args ${payload_args} ${option_args})
  list(APPEND depends ${payload_depends} ${option_depends})

  get_filename_component(output "${KIT_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  list(APPEND args -o "${output}")
  if(KIT_EXTERNAL)
    if(TARGET "${KIT_LOADER}")
      set(loader_name "$<TARGET_FILE_NAME:${KIT_LOADER}>")
    else()
      get_filename_component(loader_name "${loader}" NAME)
    endif()
    set(outputs "${output}/setup.1" "${output}/setup.2" "${output}/${loader_name}")
  else()
    set(outputs "${output}")
  endif()

  set(run "$<TARGET_FILE:loaderkit::kitpack>")
  if(DEFINED KIT_SOURCE_DATE_EPOCH)
    set(run "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${KIT_SOURCE_DATE_EPOCH}" "${run}")
  endif()
  _loaderkit_inputs_file(${name} "${run};${args}" "${listing}" inputs)
  _loaderkit_inputs_stamp(${name} "${depends}" stamp)
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${run} ${args}
    DEPENDS ${depends} "${inputs}" "${stamp}"
    COMMENT "Building kit ${name}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${outputs})
  add_dependencies(${name} ${name}-inputs)
  set_target_properties(${name} PROPERTIES LOADERKIT_OUTPUT "${output}")
endfunction()

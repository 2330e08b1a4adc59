# loaderkit_add_kit(<name>
#     INSTALLER <file or target>[=STOREDNAME]
#     [FILES <file or target>[=STOREDNAME]...]
#     [PAYLOAD <files, folders or targets>...]
#     OUTPUT <file, or folder with EXTERNAL>
#     [LOADER <file or target> | POSIX]
#     [EXTERNAL] [NO_DEPLOYMENT] [LEVEL <0-9>] [STORED_PREFIX <prefix>]
#     [SOURCE_DATE_EPOCH <seconds>]
#     [EXECUTION_LEVEL <asInvoker|highestAvailable|requireAdministrator>]
#     [SIGN_COMMAND <command>])
#
# Adds the target <name> (built by default) that runs `kitpack build` and
# builds the kit again when kitpack, the loader or any input changes: a
# target's file, a file, or a file below a PAYLOAD folder (files added to or
# removed from such a folder are seen too). Relative inputs are taken from the
# current source folder, a relative OUTPUT from the current build folder.
# Without LOADER the kit carries the installed loader.exe, with POSIX the
# installed POSIX loader. The target's LOADERKIT_OUTPUT property holds the
# kit's path (the kit file, or the folder of an external kit).

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

function(loaderkit_add_kit name)
  cmake_parse_arguments(PARSE_ARGV 1 KIT "EXTERNAL;POSIX;NO_DEPLOYMENT"
    "INSTALLER;OUTPUT;LOADER;LEVEL;STORED_PREFIX;SOURCE_DATE_EPOCH;EXECUTION_LEVEL"
    "FILES;PAYLOAD;SIGN_COMMAND")
  if(KIT_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "loaderkit_add_kit(${name}): unknown arguments: ${KIT_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT KIT_INSTALLER OR NOT KIT_OUTPUT)
    message(FATAL_ERROR "loaderkit_add_kit(${name}): INSTALLER and OUTPUT are required")
  endif()
  if(KIT_LOADER AND KIT_POSIX)
    message(FATAL_ERROR "loaderkit_add_kit(${name}): give LOADER or POSIX, not both")
  endif()

  set(args build)
  set(depends loaderkit::kitpack)

  # The loader: named, or the installed one (a missing one is reported here,
  # at configure time, rather than by every build).
  if(KIT_LOADER)
    _loaderkit_input("${KIT_LOADER}" loader loader_depends)
    list(APPEND depends ${loader_depends})
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
    list(APPEND depends "${loader}")
  endif()
  list(APPEND args --loader "${loader}")

  _loaderkit_input("${KIT_INSTALLER}" installer installer_depends)
  list(APPEND args --installer "${installer}")
  list(APPEND depends ${installer_depends})
  foreach(item IN LISTS KIT_FILES)
    _loaderkit_input("${item}" file file_depends)
    list(APPEND args --file "${file}")
    list(APPEND depends ${file_depends})
  endforeach()
  foreach(item IN LISTS KIT_PAYLOAD)
    if(TARGET "${item}")
      list(APPEND args --payload "$<TARGET_FILE:${item}>")
      list(APPEND depends "${item}")
      continue()
    endif()
    get_filename_component(path "${item}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND args --payload "${path}")
    if(IS_DIRECTORY "${path}")
      # CONFIGURE_DEPENDS: the build checks the folder's listing again, so an
      # added or removed file rebuilds the kit as well.
      file(GLOB_RECURSE folder_files LIST_DIRECTORIES false CONFIGURE_DEPENDS "${path}/*")
      list(APPEND depends ${folder_files})
    else()
      list(APPEND depends "${path}")
    endif()
  endforeach()

  get_filename_component(output "${KIT_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  list(APPEND args -o "${output}")
  if(KIT_NO_DEPLOYMENT)
    list(APPEND args --no-deployment)
  endif()
  if(KIT_EXTERNAL)
    list(APPEND args --external)
    if(TARGET "${KIT_LOADER}")
      set(loader_name "$<TARGET_FILE_NAME:${KIT_LOADER}>")
    else()
      get_filename_component(loader_name "${loader}" NAME)
    endif()
    set(outputs "${output}/setup.1" "${output}/setup.2" "${output}/${loader_name}")
  else()
    set(outputs "${output}")
  endif()
  if(DEFINED KIT_LEVEL)
    list(APPEND args --level "${KIT_LEVEL}")
  endif()
  if(DEFINED KIT_STORED_PREFIX)
    list(APPEND args --stored-prefix "${KIT_STORED_PREFIX}")
  endif()
  if(KIT_EXECUTION_LEVEL)
    list(APPEND args --execution-level "${KIT_EXECUTION_LEVEL}")
  endif()
  if(KIT_SIGN_COMMAND)
    list(JOIN KIT_SIGN_COMMAND " " sign)
    list(APPEND args --sign-command "${sign}")
  endif()

  set(run "$<TARGET_FILE:loaderkit::kitpack>")
  if(DEFINED KIT_SOURCE_DATE_EPOCH)
    set(run "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${KIT_SOURCE_DATE_EPOCH}" "${run}")
  endif()
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${run} ${args}
    DEPENDS ${depends}
    COMMENT "Building kit ${name}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${outputs})
  set_target_properties(${name} PROPERTIES LOADERKIT_OUTPUT "${output}")
endfunction()

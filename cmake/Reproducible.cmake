# Two builds of one commit give the same bytes before signing. The one moment that the build's
# outputs carry (the PE header's timestamp, the packages' times) is BOOTSTRAPPER_SOURCE_DATE_EPOCH:
# SOURCE_DATE_EPOCH from the environment when the build is configured, else the time of the
# commit checked out, else 0. A new commit configures the build again, so the moment follows it.
if(NOT DEFINED BOOTSTRAPPER_SOURCE_DATE_EPOCH)
  set(BOOTSTRAPPER_SOURCE_DATE_EPOCH 0)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(BOOTSTRAPPER_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
  else()
    find_package(Git QUIET)
    if(GIT_FOUND)
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                      OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(commit_time MATCHES "^[0-9]+$")
        set(BOOTSTRAPPER_SOURCE_DATE_EPOCH ${commit_time})
      endif()
      # HEAD, the branch it names and the packed refs: what moves when a commit is made.
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} rev-parse
                              --symbolic-full-name HEAD
                      OUTPUT_VARIABLE branch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      foreach(ref HEAD ${branch} packed-refs)
        execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} rev-parse
                                --path-format=absolute --git-path ${ref}
                        OUTPUT_VARIABLE ref_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(ref_file AND EXISTS "${ref_file}")
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ref_file})
        endif()
      endforeach()
    endif()
  endif()
endif()
if(NOT BOOTSTRAPPER_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is ${BOOTSTRAPPER_SOURCE_DATE_EPOCH}, not a number of "
          "seconds since 1970.")
endif()

# The moment as a file that changes only when the moment does. Make does not rebuild what only
# a command line changed, so every image and package names the file as a dependency: a new
# commit relinks and rebuilds what carries its time (bootstrapper_follow_epoch, once every
# target is known).
set(BOOTSTRAPPER_EPOCH_FILE ${CMAKE_BINARY_DIR}/source-date-epoch.txt)
file(CONFIGURE OUTPUT ${BOOTSTRAPPER_EPOCH_FILE} CONTENT "${BOOTSTRAPPER_SOURCE_DATE_EPOCH}\n")

function(bootstrapper_follow_epoch dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
      set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${BOOTSTRAPPER_EPOCH_FILE})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    bootstrapper_follow_epoch(${subdirectory})
  endforeach()
endfunction()

# Locates the project's own FFmpeg build (scripts/build_ffmpeg.sh) and declares the imported
# targets FFmpeg::avcodec, FFmpeg::avutil and FFmpeg::swscale.
#
# TALMIRO_FFMPEG_PREFIX names an existing install prefix; when it is empty the build script is
# run, which builds FFmpeg once into the per-user cache and afterwards only prints the prefix.
if(TARGET FFmpeg::avcodec)
  return()
endif()

set(TALMIRO_FFMPEG_PREFIX "$ENV{TALMIRO_FFMPEG_PREFIX}" CACHE PATH "FFmpeg install prefix")
if(NOT TALMIRO_FFMPEG_PREFIX)
  execute_process(
    COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/../scripts/build_ffmpeg.sh"
    OUTPUT_VARIABLE _ff_out
    RESULT_VARIABLE _ff_rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _ff_rc EQUAL 0)
    message(FATAL_ERROR "building FFmpeg failed (see the messages above)")
  endif()
  string(REGEX REPLACE ".*\n" "" _ff_prefix "${_ff_out}")
  set(TALMIRO_FFMPEG_PREFIX "${_ff_prefix}" CACHE PATH "FFmpeg install prefix" FORCE)
endif()
message(STATUS "FFmpeg: ${TALMIRO_FFMPEG_PREFIX}")

set(TALMIRO_FFMPEG_LIBS avcodec.so.62 avutil.so.60 swscale.so.9)
foreach(_lib avcodec avutil swscale)
  add_library(FFmpeg::${_lib} SHARED IMPORTED)
  set_target_properties(FFmpeg::${_lib} PROPERTIES
    IMPORTED_LOCATION "${TALMIRO_FFMPEG_PREFIX}/lib/lib${_lib}.so"
    INTERFACE_INCLUDE_DIRECTORIES "${TALMIRO_FFMPEG_PREFIX}/include")
endforeach()

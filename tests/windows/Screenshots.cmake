# The tool that photographs the bootstrapper's windows for the documentation
# (scripts/screenshots.sh).
add_executable(screencapture ${PROJECT_SOURCE_DIR}/tests/screenshots/ScreenCapture.cpp)
target_compile_definitions(screencapture PRIVATE UNICODE _UNICODE)
target_compile_options(screencapture PRIVATE ${BOOTSTRAPPER_WARNINGS})
target_link_options(screencapture PRIVATE -municode -static -s)
target_link_libraries(screencapture PRIVATE gdi32 user32)

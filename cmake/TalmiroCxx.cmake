# The language settings every C++ target of the project builds with: C++23 as g++ 12 offers it,
# Release unless told otherwise, and warnings as errors in the project's own code.
set(CMAKE_CXX_STANDARD 23)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE Release)
endif()
set(TALMIRO_WARNINGS -Wall -Wextra -Werror)

# skingen: the developer tool that draws the skin into res/ (the build does
# not run it). Included from tools/, so the program lands in build/<preset>/tools/.
add_executable(skingen
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Artwork.h ${CMAKE_CURRENT_LIST_DIR}/Artwork.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Quantize.h ${CMAKE_CURRENT_LIST_DIR}/Quantize.cpp)
target_link_libraries(skingen PRIVATE Qt6::Gui)
orvanta_warnings(skingen)

# Build options shared by every target. Presets set them; nothing else should.
option(LB_WERROR "Treat warnings as errors" OFF)
option(LB_PCH "Precompile the heaviest headers" ON)
option(LB_BENCH "Build the benchmark binary" ON)
option(LB_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

add_compile_options(-Wall -Wextra)
if(LB_WERROR)
  add_compile_options(-Werror)
endif()
if(LB_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Where the shared crypto test vectors live; tests fail loudly when it is missing.
set(LB_VECTORS_DIR "${PROJECT_SOURCE_DIR}/../shared/vectors/wycheproof" CACHE PATH
    "Directory holding the Wycheproof JSON vectors")

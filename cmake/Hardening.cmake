# Exploit mitigations for everything the mingw-w64 build links. The Microsoft
# compiler and linker have them on by default (/GS, /DYNAMICBASE,
# /HIGHENTROPYVA, /NXCOMPAT). tools/pe_check.py verifies the shipped exe.
if(MINGW)
  add_compile_options(-fstack-protector-strong)
  # Fortified string and stdio calls need optimisation to see buffer sizes.
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  # -static in the toolchain file makes the stack protector's library static too.
  add_link_options(-fstack-protector-strong
                   LINKER:--dynamicbase LINKER:--high-entropy-va LINKER:--nxcompat)
endif()

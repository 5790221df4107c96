# The engine build identifier: shown in the hello line (first seven
# characters) and matched by an accelerator pack's manifest.
set(QUILLET_ENGINE_BUILD_ID "d1be6fde11ac6e0407606b4e42fe72d34add8037")
string(SUBSTRING "${QUILLET_ENGINE_BUILD_ID}" 0 7 QUILLET_ENGINE_BUILD_ID_SHORT)

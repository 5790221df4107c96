# node_api.def names the export module NODE.EXE; append libuv's uv_hrtime,
# which node.exe exports too.
file(READ ${IN} _def)
file(WRITE ${OUT} "${_def}\nuv_hrtime\n")

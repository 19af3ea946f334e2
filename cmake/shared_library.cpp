// The shared device library holds only the static library's objects; a target needs one
// source of its own.

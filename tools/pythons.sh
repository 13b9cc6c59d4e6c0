# Sourced: interpreter MINOR prints the CPython of that minor version (3.9 ...)
# on PATH, else from pyenv's versions; nothing when there is none.
interpreter() {  # minor
  local name=python$1 candidate
  if candidate=$(command -v "$name") && "$candidate" -c '' 2>/dev/null; then
    echo "$candidate"
    return
  fi
  for candidate in "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/"$1".*/bin/"$name"; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return
    fi
  done
}

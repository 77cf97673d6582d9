# Sourced by the end-to-end scripts. long_folder BASE LENGTH prints a path below BASE whose
# Windows name ("Z:" and the path) is LENGTH characters long, in folders of at most 100 letters
# (a POSIX name holds 255 bytes), the last one cut to fit.
long_folder() {
  local path=$1 length=$2 part
  while (( ${#path} + 2 < length )); do
    part=$(( length - ${#path} - 3 ))
    (( part > 100 )) && part=100
    path+=/$(printf 'g%.0s' $(seq "$part"))
  done
  (( ${#path} + 2 == length )) || { echo "long_folder: cannot make a folder of $length characters below $1" >&2; return 1; }
  echo "$path"
}

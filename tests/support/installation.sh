# A player's installation as the game's installer leaves it: a release's files and the updater's
# settings file "log.ini" with its [zepo] section, which marks the folder as this game's
# installation (the updater refuses a folder of other files with nothing of its own in it).
#   copy_installation RELEASE FOLDER
copy_installation() {
  mkdir -p "$2" && cp -a "$1/." "$2/" && printf '[zepo]\r\n' >> "$2/log.ini"
}

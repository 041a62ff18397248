# The Debian packages Relaybox needs, and how the scripts install the missing ones.
# Sourced by setup.sh, test.sh, package.sh and the bench, fuzz and screenshot scripts.

# What building and running the program need.
relaybox_packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-qpa-plugins libxcb1-dev libssl-dev
  fonts-liberation fonts-dejavu-core
)

# What the tests, benchmarks, fuzzing and screenshots add: GoogleTest, clang for libFuzzer, a
# virtual display, the reference servers and clients, and openssl to make test certificates.
relaybox_test_packages=(
  libgtest-dev openssl
  clang libclang-rt-14-dev
  xvfb xauth imagemagick xdotool python3
  curl inotify-tools
  nginx lighttpd lighttpd-mod-deflate lighttpd-mod-openssl apache2
)

# What the Debian package's build and check add.
relaybox_package_packages=(dpkg-dev desktop-file-utils lintian)

# install_missing PACKAGE...: installs those not installed yet, with sudo when not root.
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # The tests start the web servers themselves, on loopback and free ports; the system
  # services Debian starts and enables with them would only listen on port 80 for nothing.
  if [ -d /run/systemd/system ]; then
    for p in "${missing[@]}"; do
      case $p in nginx | lighttpd | apache2) "${sudo[@]}" systemctl disable --now --quiet "$p.service" || true ;; esac
    done
  fi
}

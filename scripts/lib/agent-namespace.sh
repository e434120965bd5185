# Sourced by scripts/demo and scripts/playground once they run in a private
# mount namespace: the agent gets a /dev of its own (a few real nodes and the
# emulated device) and an /opt whose Vorlan.ini names the account it drops
# to. The host's /dev and /opt are never touched.

# private_dev <scratch dir> <emulated device file> <device path>
private_dev() {
  local stage=$1 device_file=$2 device_path=$3 node
  mkdir "$stage"
  mount -t tmpfs -o mode=0755 cdev_dev "$stage"
  for node in null zero full random urandom tty ptmx; do
    touch "$stage/$node"
    mount --bind "/dev/$node" "$stage/$node"
  done
  mkdir "$stage/pts" "$stage/shm"
  mount --rbind /dev/pts "$stage/pts"
  mount -t tmpfs -o mode=1777 cdev_shm "$stage/shm"
  ln -s /proc/self/fd "$stage/fd"
  ln -s /proc/self/fd/0 "$stage/stdin"
  ln -s /proc/self/fd/1 "$stage/stdout"
  ln -s /proc/self/fd/2 "$stage/stderr"
  touch "$stage/$(basename "$device_path")"
  mount --bind "$device_file" "$stage/$(basename "$device_path")"
  mount --move "$stage" /dev
}

# private_opt <account>; CDEV_AGENT_POLICY names a file to use as the
# agent's access policy.
private_opt() {
  mount -t tmpfs -o mode=0755 cdev_opt /opt
  mkdir -p /opt/vorlan/config
  echo "Vorlan_user=$1" >/opt/vorlan/config/Vorlan.ini
  [ -z "${CDEV_AGENT_POLICY:-}" ] || cp "$CDEV_AGENT_POLICY" /opt/vorlan/config/cdev-policy.conf
}

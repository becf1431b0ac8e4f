# shellcheck shell=bash
# Sourced by the shell tests that run nginx.
#
# nginx_conf DIR HTTP_LINES: prints an nginx.conf for a server run by the
# current user from DIR: in the foreground, one worker, its pid, error log
# and temporary folders in DIR (DIR/tmp must exist); HTTP_LINES go inside
# the http block (logs, servers). As root, the worker runs as root too, so
# it can read the test's files.
nginx_conf() {
  local dir=$1 user_line=""
  [ "$(id -u)" -ne 0 ] || user_line="user $(id -un) $(id -gn);"
  cat <<CONF
$user_line
daemon off;
master_process on;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 64; }
http {
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
$2
}
CONF
}

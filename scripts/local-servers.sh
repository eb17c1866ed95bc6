# Sourced by ./demo.sh, ./bench.sh and the Windows tests' server script: ports on 127.0.0.1 and
# nginx's configuration for serving files there. Every server binds to 127.0.0.1 alone.

# A port on 127.0.0.1 that nothing listens on right now.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# True when something accepts connections on 127.0.0.1:PORT.
port_open() {  # PORT
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Writes DIR/nginx.conf: one nginx process in the foreground that keeps its files in DIR and serves
# ROOT over HTTPS on 127.0.0.1:HTTPS_PORT with PKI's localhost certificate and, when HTTP_PORT is
# not empty, over plain HTTP on 127.0.0.1:HTTP_PORT, logging each request in DIR/access.log.
# HTTP_DIRECTIVES go into the http block, SERVER_DIRECTIVES into the HTTPS server. Start it with
# nginx -p DIR -c DIR/nginx.conf -e DIR/error.log.
write_nginx_config() {  # DIR PKI ROOT HTTPS_PORT HTTP_PORT [HTTP_DIRECTIVES [SERVER_DIRECTIVES]]
    local dir=$1 pki=$2 root=$3 https_port=$4 http_port=$5 http_directives=${6:-} server_directives=${7:-}
    mkdir -p "$dir"
    {
        cat <<EOF
daemon off;
master_process off;
worker_processes 1;
pid "$dir/nginx.pid";
error_log "$dir/error.log" notice;
events { worker_connections 64; }
http {
    types {}
    default_type application/octet-stream;
    access_log "$dir/access.log";
    client_body_temp_path "$dir/client_body";
    proxy_temp_path "$dir/proxy";
    fastcgi_temp_path "$dir/fastcgi";
    uwsgi_temp_path "$dir/uwsgi";
    scgi_temp_path "$dir/scgi";
    $http_directives
    server {
        listen 127.0.0.1:$https_port ssl;
        ssl_certificate "$pki/localhost.pem";
        ssl_certificate_key "$pki/localhost.key";
        root "$root";
        $server_directives
    }
EOF
        if [[ -n $http_port ]]; then
            cat <<EOF
    server {
        listen 127.0.0.1:$http_port;
        root "$root";
    }
EOF
        fi
        echo "}"
    } >"$dir/nginx.conf"
}

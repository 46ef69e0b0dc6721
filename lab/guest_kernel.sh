# The lab's guest kernel, shared by scripts/lab and scripts/lab-systemd
# (sourced; both run under set -euo pipefail with `say` defined).
#
# lab_fetch_kernel CACHE
#   The kernel that Debian's linux-image-amd64 names today, downloaded as a
#   package file into CACHE/<package> and unpacked there once; nothing is
#   installed on the host. Sets vmlinuz (the kernel image) and kmods (its
#   modules' folder).
# lab_stage_modules STAGE MODULE...
#   Copies the MODULEs and every module they depend on, uncompressed, into
#   STAGE/lib/modules/, with STAGE/lib/modules/order listing them in load
#   order (dependencies first) and their parameters. Modules built into the
#   kernel are skipped. Sets order (the module names, in load order).

lab_fetch_kernel() {
    local cache=$1 package kernel_dir
    local as_root=()
    [[ $(id -u) -eq 0 ]] || as_root=(sudo)
    if ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
        "${as_root[@]}" apt-get update -qq
    fi
    package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    [[ -n $package ]] || { echo "lab: cannot tell which kernel linux-image-amd64 names" >&2; exit 1; }
    kernel_dir=$cache/$package
    if [[ ! -e $kernel_dir/.unpacked ]]; then
        say "fetching $package into build/lab/cache"
        rm -rf "$kernel_dir"
        mkdir -p "$kernel_dir"
        (cd "$kernel_dir" && apt-get download -q "$package" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
        dpkg-deb -x "$(ls "$kernel_dir"/*.deb)" "$kernel_dir/root"
        touch "$kernel_dir/.unpacked"
    fi
    vmlinuz=$(ls "$kernel_dir"/root/boot/vmlinuz-*)
    kmods=$(ls -d "$kernel_dir"/root/lib/modules/*/kernel)
}

lab_module_bytes() {
    case $1 in
    *.ko.xz) xz -dc "$1" ;;
    *.ko.zst) zstd -qdc "$1" ;;
    *.ko.gz) gzip -dc "$1" ;;
    *) cat "$1" ;;
    esac
}

lab_stage_modules() {
    local stage=$1 m f name
    shift
    # Module names use "_" where file names may use "-".
    declare -gA lab_module_file=()
    while IFS= read -r f; do
        name=${f##*/}
        name=${name%%.ko*}
        lab_module_file[${name//-/_}]=$f
    done < <(find "$kmods" -name '*.ko' -o -name '*.ko.xz' -o -name '*.ko.zst' -o -name '*.ko.gz')
    local -A params=([scsi_mod]="scan=sync")
    declare -gA lab_module_visited=()
    order=()
    for m in "$@"; do lab_visit_module "$m"; done
    mkdir -p "$stage/lib/modules"
    : > "$stage/lib/modules/order"
    for m in "${order[@]}"; do
        lab_module_bytes "${lab_module_file[$m]}" > "$stage/lib/modules/$m.ko"
        echo "$m ${params[$m]:-}" >> "$stage/lib/modules/order"
    done
}

lab_visit_module() {
    local m=$1 f deps d
    [[ -n ${lab_module_visited[$m]:-} ]] && return
    lab_module_visited[$m]=1
    f=${lab_module_file[$m]:-}
    [[ -n $f ]] || return 0   # built into the kernel
    deps=$(lab_module_bytes "$f" | tr '\0' '\n' | grep -a -m1 '^depends=' | cut -d= -f2 || true)
    for d in ${deps//,/ }; do
        lab_visit_module "${d//-/_}"
    done
    order+=("$m")
}

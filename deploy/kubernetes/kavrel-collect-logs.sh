#!/usr/bin/env bash
# Takes each node's kavrel-bench report out of the logs of a qualification job's pods, for clusters without a shared volume.
#
#   kavrel-collect-logs.sh [JOB] [FOLDER]      (defaults: kavrel-qualify, ./kavrel-reports/JOB)
#
# Writes FOLDER/<pod>.json for every pod of the job (kubectl's current context and namespace; set KUBECTL to,
# e.g., "kubectl -n gpu-tests"), and FOLDER/<pod>.resident.json where the pod also ran the resident workload; then:
# kavrel-fleet FOLDER. A pod whose log has no report leaves an empty file, which kavrel-fleet names as unusable
# rather than skipping it.
set -euo pipefail

job=${1:-kavrel-qualify}
folder=${2:-kavrel-reports/$job}
read -r -a kubectl <<<"${KUBECTL:-kubectl}"
mkdir -p "$folder"
pods=$("${kubectl[@]}" get pods --selector "job-name=$job" --output name)
if [ -z "$pods" ]; then
    echo "kavrel-collect-logs: no pods of job $job" >&2
    exit 1
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for pod in $pods; do
    name=${pod#pod/}
    "${kubectl[@]}" logs "$pod" >"$log"
    sed -n '/^----- kavrel-bench report begin -----$/,/^----- kavrel-bench report end -----$/{//!p;}' "$log" \
        >"$folder/$name.json"
    echo "kavrel-collect-logs: $name -> $folder/$name.json" >&2
    if grep -qx -- '----- kavrel-bench resident report begin -----' "$log"; then
        sed -n '/^----- kavrel-bench resident report begin -----$/,/^----- kavrel-bench resident report end -----$/{//!p;}' \
            "$log" >"$folder/$name.resident.json"
        echo "kavrel-collect-logs: $name -> $folder/$name.resident.json" >&2
    fi
done

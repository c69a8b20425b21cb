#!/usr/bin/env bash
# Takes each node's kavrel-bench report out of the logs of a qualification job's pods, for clusters without a shared volume.
#
#   kavrel-collect-logs.sh [JOB] [FOLDER]      (defaults: kavrel-qualify, ./kavrel-reports/JOB)
#
# Writes FOLDER/<pod>.json for every pod of the job (kubectl's current context and namespace; set KUBECTL to,
# e.g., "kubectl -n gpu-tests"), then: kavrel-fleet FOLDER. A pod whose log has no report leaves an empty file,
# which kavrel-fleet names as unusable rather than skipping it.
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
for pod in $pods; do
    "${kubectl[@]}" logs "$pod" |
        sed -n '/^----- kavrel-bench report begin -----$/,/^----- kavrel-bench report end -----$/{//!p;}' \
            >"$folder/${pod#pod/}.json"
    echo "kavrel-collect-logs: ${pod#pod/} -> $folder/${pod#pod/}.json" >&2
done

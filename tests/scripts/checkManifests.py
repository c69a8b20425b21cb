#!/usr/bin/env python3
"""Checks that the Kubernetes manifests and the container recipe under deploy/ carry what a cluster needs to run them.

No cluster is at hand, so this reads the files: every manifest parses as YAML and has the fields Kubernetes requires,
the qualification Job runs one pod per GPU node with the node's name passed to kavrel-bench, and every volume claim
the Jobs mount is defined. Where the kubernetes-validate package is installed (pip install kubernetes-validate), every
document is also validated strictly (no unknown field) against the Kubernetes API schemas of KUBERNETES_VERSIONS.

Usage: checkManifests.py [--require-schemas] REPOSITORY_ROOT. --require-schemas makes a missing kubernetes-validate a
finding. Prints one line per finding; exit status 1 when there is any.
"""
import pathlib
import re
import sys

try:
    import yaml
except ImportError:
    print("checkManifests: PyYAML is missing (Debian: apt-get install python3-yaml)")
    sys.exit(1)

try:
    import kubernetes_validate
except ImportError:
    kubernetes_validate = None

# The oldest Kubernetes release the manifests are meant for (Indexed Jobs and the job-name label are older) and the
# newest the installed schemas know.
KUBERNETES_VERSIONS = ["1.29.0", "latest"]

findings = []


def need(condition, message):
    if not condition:
        findings.append(message)
    return condition


def dig(document, path, default=None):
    """The value at a dotted path of mappings, or default when a step is missing."""
    value = document
    for key in path.split("."):
        if not isinstance(value, dict) or key not in value:
            return default
        value = value[key]
    return value


# The fields a Kubernetes object or pod template has beside the one that holds its desired state.
HEADER_FIELDS = {"apiVersion", "kind", "metadata", "status"}


def desired_state_field(document):
    """The name of the field that holds the desired state of a Kubernetes object or pod template: its one field
    besides HEADER_FIELDS, or None when it has not exactly one."""
    fields = [key for key in document if key not in HEADER_FIELDS] if isinstance(document, dict) else []
    return fields[0] if len(fields) == 1 else None


def desired_state(document):
    """The desired state of a Kubernetes object or pod template, or an empty mapping when it has none."""
    field = desired_state_field(document)
    return document[field] if field else {}


def check_pod_template(where, template):
    pod = desired_state(template)
    need(pod.get("restartPolicy") in ("Never", "OnFailure"), f"{where}: a Job's restartPolicy must be Never or OnFailure")
    containers = pod.get("containers") or []
    if not need(containers, f"{where}: no containers"):
        return
    for container in containers:
        need(container.get("name"), f"{where}: a container without a name")
        need(container.get("image"), f"{where}: container {container.get('name')} without an image")
    claims = [dig(volume, "persistentVolumeClaim.claimName") for volume in pod.get("volumes") or []]
    mounts = {mount["name"] for container in containers for mount in container.get("volumeMounts") or []}
    volumes = {volume["name"] for volume in pod.get("volumes") or []}
    need(mounts <= volumes, f"{where}: mounts {sorted(mounts - volumes)} name no volume")
    return [claim for claim in claims if claim]


def check_qualify_job(where, job):
    body = desired_state(job)
    template = body.get("template") or {}
    pod = desired_state(template)
    need(body.get("completionMode") == "Indexed", f"{where}: completionMode must be Indexed")
    need(isinstance(body.get("completions"), int) and body.get("completions") >= 1, f"{where}: completions must be a count")
    need(body.get("completions") == body.get("parallelism"), f"{where}: completions and parallelism must be equal")
    need(pod.get("nodeSelector") or dig(pod, "affinity.nodeAffinity"), f"{where}: no nodeSelector or nodeAffinity for GPU nodes")
    terms = dig(pod, "affinity.podAntiAffinity.requiredDuringSchedulingIgnoredDuringExecution") or []
    labels = dig(template, "metadata.labels", {})
    repelled = [term for term in terms if term.get("topologyKey") == "kubernetes.io/hostname"
                and dig(term, "labelSelector.matchLabels", {}).items() <= labels.items()
                and dig(term, "labelSelector.matchLabels")]
    need(repelled, f"{where}: no required podAntiAffinity by kubernetes.io/hostname matching the pods' own labels")
    container = pod["containers"][0]
    gpus = dig(container, "resources.limits", {}).get("nvidia.com/gpu")
    need(isinstance(gpus, int) and gpus >= 1, f"{where}: no nvidia.com/gpu limit")
    env = {variable["name"]: variable for variable in container.get("env") or []}
    node_name_path = f"{desired_state_field(template)}.nodeName"
    need(dig(env.get("NODE_NAME", {}), "valueFrom.fieldRef.fieldPath") == node_name_path,
         f"{where}: NODE_NAME must come from the downward API's {node_name_path}, the node the pod runs on")
    need(dig(pod, "securityContext.runAsNonRoot") is True, f"{where}: the pod must run as non-root")
    # Each time limit inside the next: kavrel-bench's, the pod's with its grace, the Job's.
    job_deadline = body.get("activeDeadlineSeconds")
    pod_deadline = pod.get("activeDeadlineSeconds")
    grace = pod.get("terminationGracePeriodSeconds", 30)
    bench_limit = env.get("KAVREL_TIME_LIMIT", {}).get("value")
    need(isinstance(job_deadline, int) and job_deadline > 0, f"{where}: the Job needs an activeDeadlineSeconds")
    need(isinstance(pod_deadline, int) and isinstance(job_deadline, int) and 0 < pod_deadline < job_deadline,
         f"{where}: the pods need an activeDeadlineSeconds below the Job's")
    need(isinstance(pod_deadline, int) and bench_limit is not None and bench_limit.isdigit()
         and 0 < int(bench_limit) and int(bench_limit) + 20 + grace <= pod_deadline,
         f"{where}: KAVREL_TIME_LIMIT, kill-after and grace must fit in the pod's deadline")


def validate_schema(where, document):
    if kubernetes_validate is None:
        return
    for version in KUBERNETES_VERSIONS:
        version = kubernetes_validate.latest_version() if version == "latest" else version
        try:
            kubernetes_validate.validate(document, version, strict=True)
        except kubernetes_validate.ValidationError as error:
            need(False, f"{where}: not valid for Kubernetes {version}: {error.message} at {'.'.join(map(str, error.path))}")
        except Exception as error:  # a schema the package lacks, or one it cannot read
            need(False, f"{where}: cannot validate against Kubernetes {version}: {error}")


def check_manifests(root):
    claims_defined = set()
    claims_used = []
    qualify_jobs = 0
    for path in sorted((root / "deploy" / "kubernetes").glob("*.yaml")):
        try:
            documents = [document for document in yaml.safe_load_all(path.read_text()) if document is not None]
        except yaml.YAMLError as error:
            need(False, f"{path.name}: does not parse: {error}")
            continue
        need(documents, f"{path.name}: holds no document")
        for number, document in enumerate(documents):
            where = f"{path.name}[{number}]"
            if not need(isinstance(document, dict), f"{where}: not a mapping"):
                continue
            for field in ("apiVersion", "kind", "metadata.name"):
                need(dig(document, field), f"{where}: no {field}")
            validate_schema(where, document)
            kind = document.get("kind")
            body = desired_state(document)
            if kind == "PersistentVolumeClaim":
                claims_defined.add(dig(document, "metadata.name"))
                need(body.get("accessModes") == ["ReadWriteMany"], f"{where}: the reports' claim must be ReadWriteMany")
                need(dig(body, "resources.requests.storage"), f"{where}: no storage request")
            elif kind == "Job":
                need(document.get("apiVersion") == "batch/v1", f"{where}: a Job's apiVersion is batch/v1")
                template = body.get("template")
                if need(desired_state(template), f"{where}: no pod template with a pod in it"):
                    claims_used += [(where, claim) for claim in check_pod_template(where, template) or []]
                    if body.get("completionMode") or dig(document, "metadata.name") == "kavrel-qualify":
                        qualify_jobs += 1
                        check_qualify_job(where, document)
            else:
                need(False, f"{where}: unexpected kind {kind}")
    need(qualify_jobs == 1, "deploy/kubernetes: exactly one qualification Job expected")
    for where, claim in claims_used:
        need(claim in claims_defined, f"{where}: mounts claim {claim}, which no manifest defines")


def check_container_recipe(root):
    recipe = (root / "deploy" / "container" / "Containerfile").read_text()
    stages = re.findall(r"^FROM\s+(\S+)", recipe, re.MULTILINE)
    arguments = dict(re.findall(r"^ARG\s+(\w+)=(\S+)", recipe, re.MULTILINE))
    images = [re.sub(r"\$\{(\w+)\}", lambda match: arguments.get(match.group(1), ""), stage) for stage in stages]
    need(len(images) == 2, "Containerfile: two stages expected (build, run)")
    if len(images) == 2:
        need(re.search(r"nvidia/cuda:[\d.]+-devel-", images[0]), "Containerfile: the build stage must be a CUDA devel image")
        need(re.search(r"nvidia/cuda:[\d.]+-runtime-", images[1]), "Containerfile: the run stage must be a CUDA runtime image")
    users = re.findall(r"^USER\s+(\S+)", recipe, re.MULTILINE)
    need(users and not users[-1].split(":")[0] in ("0", "root"), "Containerfile: must end as a non-root USER")
    for source in re.findall(r"^COPY\s+(?!--from)(.+)\s+\S+$", recipe, re.MULTILINE):
        for name in source.split():
            need((root / name).exists(), f"Containerfile: copies {name}, which does not exist")


def main():
    arguments = sys.argv[1:]
    require_schemas = "--require-schemas" in arguments
    arguments = [argument for argument in arguments if argument != "--require-schemas"]
    root = pathlib.Path(arguments[0] if arguments else ".").resolve()
    if kubernetes_validate is None:
        need(not require_schemas, "kubernetes-validate is not installed (pip install kubernetes-validate)")
        print("checkManifests: schema validation not run: kubernetes-validate is not installed")
    else:
        print(f"checkManifests: validating against Kubernetes {', '.join(KUBERNETES_VERSIONS)} (strict)")
    check_manifests(root)
    check_container_recipe(root)
    for finding in findings:
        print(f"checkManifests: {finding}")
    print(f"checkManifests: {'no findings' if not findings else f'{len(findings)} finding(s)'}")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())

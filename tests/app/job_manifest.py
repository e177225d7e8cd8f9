#!/usr/bin/python3
"""Checks the README's Kubernetes Job as a cluster would read it, without a cluster: an indexed
Job whose completions and --shard-count agree, whose command is corvane-batch resuming with -n,
whose $(VARIABLES) are all defined, and whose mounts name its volumes."""

import re
import sys

import yaml  # python3-yaml, from the bootstrap

job = yaml.safe_load(open(sys.argv[1]))
assert job["apiVersion"] == "batch/v1" and job["kind"] == "Job", "not a batch/v1 Job"
assert re.fullmatch(r"[a-z0-9]([-a-z0-9]*[a-z0-9])?", job["metadata"]["name"]), "a bad name"
indexed = job["spec"]
assert indexed["completionMode"] == "Indexed", "not an indexed Job"
assert 0 < indexed["parallelism"] <= indexed["completions"], "parallelism beyond the completions"
pod = indexed["template"]["spec"]
assert pod["restartPolicy"] in ("Never", "OnFailure"), "a Job's pods must not restart Always"
(container,) = pod["containers"]
command = [str(word) for word in container.get("command", []) + container.get("args", [])]
assert command[0] == "corvane-batch", "the command is not corvane-batch"
assert "-n" in command, "a pod started again would compress its files again without -n"
shards = command[command.index("--shard-count") + 1]
assert int(shards) == indexed["completions"], f"--shard-count {shards} against the completions"
for option in ("-o", "--files-from", "--base", "--report"):
    assert option in command, f"no {option}"
defined = {variable["name"] for variable in container.get("env", [])}
used = set(re.findall(r"\$\((\w+)\)", " ".join(command)))
assert used <= defined, f"undefined variables {used - defined}"
volumes = {volume["name"] for volume in pod["volumes"]}
for mount in container["volumeMounts"]:
    assert mount["name"] in volumes, f"a mount of no volume: {mount['name']}"
    for option in ("-o", "--files-from", "--base", "--report"):
        path = command[command.index(option) + 1]
        assert path.startswith(mount["mountPath"] + "/"), f"{option} {path} is not on the volume"
print(f"{sys.argv[1]}: an indexed Job of {indexed['completions']} shards")

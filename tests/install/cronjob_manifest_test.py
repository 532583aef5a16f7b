#!/usr/bin/env python3
"""Checks the Kubernetes CronJob the README shows: an Indexed Job of N pods, each started with
--shard=$(JOB_COMPLETION_INDEX)/N. Usage: cronjob_manifest_test.py README.
Exits 77 (skipped) without python3-yaml."""
import re
import sys

try:
    import yaml
except ImportError:
    print("SKIP: python3-yaml is missing; the CronJob manifest is not checked")
    sys.exit(77)


def holding(node, key):
    """The first mapping below node (node itself included) that has key."""
    if isinstance(node, dict) and key in node:
        return node
    children = node.values() if isinstance(node, dict) else node if isinstance(node, list) else ()
    for child in children:
        found = holding(child, key)
        if found is not None:
            return found
    return None


with open(sys.argv[1]) as f:
    blocks = re.findall(r"^```yaml\n(.*?)^```$", f.read(), re.S | re.M)
if len(blocks) != 1:
    print("FAIL: the README shows one yaml block")
    sys.exit(1)
cron = yaml.safe_load(blocks[0])
job = holding(cron, "completionMode") or {}
container = (holding(cron, "containers") or {"containers": [{}]})["containers"][0]
n = job.get("completions")
index = holding(container.get("env", []), "valueFrom") or {}
checks = [
    (cron.get("apiVersion") == "batch/v1" and cron.get("kind") == "CronJob", "a batch/v1 CronJob"),
    ((holding(cron, "concurrencyPolicy") or {}).get("concurrencyPolicy") == "Forbid",
     "passes never overlap"),
    (job.get("completionMode") == "Indexed", "completionMode is Indexed"),
    (isinstance(n, int) and n >= 2 and job.get("parallelism") == n,
     "completions and parallelism are the same N of 2 or more"),
    ("--shard=$(JOB_COMPLETION_INDEX)/%s" % n in container.get("args", []),
     "the pods pass --shard=$(JOB_COMPLETION_INDEX)/N"),
    (index.get("name") == "JOB_COMPLETION_INDEX" and index["valueFrom"]["fieldRef"]["fieldPath"]
     == "metadata.annotations['batch.kubernetes.io/job-completion-index']",
     "JOB_COMPLETION_INDEX comes from the completion index"),
]
failures = [what for ok, what in checks if not ok]
for what in failures:
    print("FAIL: " + what)
sys.exit(1 if failures else 0)

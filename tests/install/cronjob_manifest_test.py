#!/usr/bin/env python3
"""Checks the Kubernetes CronJob example: an Indexed Job of N pods, each started with
--shard=$(JOB_COMPLETION_INDEX)/N, and the excerpt the README shows is taken from it.
Usage: cronjob_manifest_test.py MANIFEST README. Exits 77 (skipped) without python3-yaml."""
import sys

try:
    import yaml
except ImportError:
    print("SKIP: python3-yaml is missing; the CronJob manifest is not checked")
    sys.exit(77)

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what)


with open(sys.argv[1]) as f:
    text = f.read()
docs = [d for d in yaml.safe_load_all(text) if d is not None]
check(len(docs) == 1, "the manifest is one document")
cron = docs[0]
check(cron.get("apiVersion") == "batch/v1" and cron.get("kind") == "CronJob", "a batch/v1 CronJob")
check(cron["spec"].get("concurrencyPolicy") == "Forbid", "passes never overlap")
job = cron["spec"]["jobTemplate"]["spec"]
check(job.get("completionMode") == "Indexed", "completionMode is Indexed")
n = job.get("completions")
check(isinstance(n, int) and n >= 2 and job.get("parallelism") == n,
      "completions and parallelism are the same N of 2 or more")
containers = job["template"]["spec"]["containers"]
check(len(containers) == 1, "one container")
args = containers[0].get("args", [])
check("--shard=$(JOB_COMPLETION_INDEX)/%s" % n in args, "the pods pass --shard=$(JOB_COMPLETION_INDEX)/N")
index = [e for e in containers[0].get("env", []) if e.get("name") == "JOB_COMPLETION_INDEX"]
check(len(index) == 1 and index[0]["valueFrom"]["fieldRef"]["fieldPath"]
      == "metadata.annotations['batch.kubernetes.io/job-completion-index']",
      "JOB_COMPLETION_INDEX comes from the completion index")

# The README's yaml block is YAML and holds lines of the manifest, in the manifest's order.
with open(sys.argv[2]) as f:
    readme = f.read().split("\n")
start = readme.index("```yaml") if "```yaml" in readme else -1
check(start >= 0, "the README shows the manifest in a yaml block")
if start >= 0:
    excerpt = readme[start + 1:readme.index("```", start + 1)]
    check(yaml.safe_load("\n".join(excerpt))["kind"] == "CronJob", "the README's excerpt is YAML")
    lines = text.split("\n")
    pos = 0
    for line in excerpt:
        if not line.strip():
            continue
        found = line in lines[pos:]
        check(found, "README line is in the manifest, in order: " + line)
        if found:
            pos = lines.index(line, pos) + 1

sys.exit(1 if failures else 0)

"""An Ansible stdout callback for tests: prints, at the end of the run,
one JSON object {"tasks": {task name: its result on each host},
"stats": {host: {"ok", "changed", "failures", ...}}}. A task's result is
the one the module returned (with "results" for a loop), plus "failed",
"skipped" and "changed" as Ansible settled them. Ansible's own "json"
callback is not part of ansible-core."""

import json

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "stdout"
    CALLBACK_NAME = "record"

    def __init__(self):
        super().__init__()
        self.tasks = {}

    def record(self, result, **settled):
        outcome = dict(self._convert_result(result._result), **settled)
        self.tasks.setdefault(result._task.get_name(), {})[
            result._host.get_name()] = outcome

    @staticmethod
    def _convert_result(result):
        return json.loads(json.dumps(result, default=str))

    def v2_runner_on_ok(self, result):
        self.record(result, failed=False,
                    changed=result._result.get("changed", False))

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.record(result, failed=True, ignored=ignore_errors)

    def v2_runner_on_skipped(self, result):
        self.record(result, skipped=True, changed=False)

    def v2_runner_on_unreachable(self, result):
        self.record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        hosts = {host: stats.summarize(host)
                 for host in sorted(stats.processed)}
        print(json.dumps({"tasks": self.tasks, "stats": hosts}))

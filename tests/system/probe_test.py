"""station-scan as a probe of the monitoring engines an administrator already runs: a real Nagios
core runs --check as a service check and records its state, output and performance data; a real
node_exporter reads --prometheus --output through its textfile collector and a real Prometheus
scrapes it and answers queries. The packaged systemd units and alerting rules are checked with
their own engines' tools, and names that any local user can choose reach root's terminal escaped.
"""
import datetime
import grp
import json
import os
import pwd
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from harness import HERE, STATION_OWNER, STATION_SCAN, StationFolder, wait_for
from samba_test import SambaServer, Workstation, free_port, listening, record

PACKAGING = os.path.join(os.path.dirname(os.path.dirname(HERE)), "packaging")
# Nagios, Prometheus and the timer work in whole seconds: their waits get more room.
ENGINE_PATIENCE_S = 30
RULES = os.path.join(PACKAGING, "prometheus", "prostrevan-alerts.yml")


def temporary_folder(test, prefix):
    folder = tempfile.mkdtemp(prefix=prefix)
    os.chmod(folder, 0o755)
    test.addCleanup(shutil.rmtree, folder, True)
    return folder


def stopped_with(test, process):
    def stop():
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    test.addCleanup(stop)
    return process


def station_folder(test, records):
    folder = StationFolder(records)
    test.addCleanup(folder.remove)
    return folder


NAGIOS_CFG = """log_file={root}/nagios.log
cfg_file={root}/objects.cfg
status_file={root}/status.dat
status_update_interval=1
check_result_path={root}/checkresults
lock_file={root}/nagios.lock
temp_file={root}/nagios.tmp
temp_path={root}
state_retention_file={root}/retention.dat
retain_state_information=0
object_cache_file={root}/objects.cache
precached_object_file={root}/objects.precache
query_socket={root}/nagios.qh
nagios_user={user}
nagios_group={group}
check_external_commands=0
interval_length=1
max_service_check_spread=1
service_inter_check_delay_method=n
check_result_reaper_frequency=1
enable_notifications=0
execute_host_checks=0
use_syslog=0
"""

NAGIOS_OBJECTS = """define command {{
    command_name check_stations
    command_line {scan} --check $ARG1$
}}
define command {{
    command_name nothing
    command_line /bin/true
}}
define timeperiod {{
    timeperiod_name always
    alias always
    sunday 00:00-24:00
    monday 00:00-24:00
    tuesday 00:00-24:00
    wednesday 00:00-24:00
    thursday 00:00-24:00
    friday 00:00-24:00
    saturday 00:00-24:00
}}
define contact {{
    contact_name nobody
    host_notifications_enabled 0
    service_notifications_enabled 0
    host_notification_period always
    service_notification_period always
    host_notification_options n
    service_notification_options n
    host_notification_commands nothing
    service_notification_commands nothing
}}
define host {{
    host_name valencia
    address 127.0.0.1
    check_command nothing
    max_check_attempts 1
    check_period always
    contacts nobody
    notification_period always
}}
"""

NAGIOS_SERVICE = """define service {{
    host_name valencia
    service_description {name}
    check_command check_stations!{arguments}
    max_check_attempts 1
    check_interval 1
    retry_interval 1
    check_period always
    contacts nobody
    notification_period always
}}
"""


def read_status(path):
    """Each service's block of Nagios's status.dat, by its description."""
    services = {}
    try:
        with open(path, errors="replace") as status:
            text = status.read()
    except FileNotFoundError:
        return services
    for block in text.split("servicestatus {\n")[1:]:
        # Each field on a line of its own, up to the line that closes the block.
        lines = block.split("\n\t}\n")[0].splitlines()
        fields = dict(line.strip().split("=", 1) for line in lines if "=" in line)
        services[fields["service_description"]] = fields
    return services


class NagiosServiceCheck(unittest.TestCase):
    """Nagios runs station-scan --check every second and keeps what it said in status.dat."""

    def test_states_output_and_performance_data_as_nagios_records_them(self):
        tills = station_folder(self, 7)
        tills.command("lock 3")
        tills.command("lock 5")
        vanishing = station_folder(self, 4)
        root = temporary_folder(self, "ostrevan-nagios-")
        os.mkdir(os.path.join(root, "checkresults"))
        services = {
            "ok": "-w 3 -c 5 " + tills.path,
            "warning": "-w 1 -c 5 " + tills.path,
            "missing-till": "--expect 3-4 " + tills.path,
            "file-gone": vanishing.path,
            "bad-range": "-w 9:1 " + tills.path,
        }
        with open(os.path.join(root, "nagios.cfg"), "w") as out:
            out.write(NAGIOS_CFG.format(root=root, user=pwd.getpwuid(os.getuid()).pw_name,
                                        group=grp.getgrgid(os.getgid()).gr_name))
        with open(os.path.join(root, "objects.cfg"), "w") as out:
            out.write(NAGIOS_OBJECTS.format(scan=STATION_SCAN))
            for name, arguments in services.items():
                out.write(NAGIOS_SERVICE.format(name=name, arguments=arguments))
        stopped_with(self, subprocess.Popen(
            ["/usr/sbin/nagios4", os.path.join(root, "nagios.cfg")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        status_file = os.path.join(root, "status.dat")

        def all_checked():
            found = read_status(status_file)
            return found if len(found) == len(services) and all(
                service["has_been_checked"] == "1" for service in found.values()) else None
        checked = wait_for(all_checked, "Nagios to check every service", ENGINE_PATIENCE_S)
        self.assertEqual(checked["file-gone"]["current_state"], "0")

        # The station file goes away: CRITICAL at a following check, and it is not made again.
        os.remove(os.path.join(vanishing.path, "Brevanto.SIT"))
        gone = wait_for(lambda: read_status(status_file)["file-gone"]["current_state"] == "2"
                        and read_status(status_file), "the check of a vanished file",
                        ENGINE_PATIENCE_S)
        self.assertFalse(os.path.exists(os.path.join(vanishing.path, "Brevanto.SIT")))

        def seen(name):
            service = gone[name]
            return (service["current_state"], service["plugin_output"],
                    service["performance_data"])
        perfdata = "records=7;;;0; last_free=7;;;0;"
        self.assertEqual(seen("ok"), ("0", "STATIONS OK - 2 connected, last free station 7",
                                      "connected=2;3;5;0; " + perfdata))
        self.assertEqual(seen("warning"),
                         ("1", "STATIONS WARNING - 2 connected (warning range 1), last free "
                          "station 7", "connected=2;1;5;0; " + perfdata))
        self.assertEqual(seen("missing-till"),
                         ("2", "STATIONS CRITICAL - expected but not connected: 4 - 2 connected, "
                          "last free station 7", "connected=2;;;0; " + perfdata))
        self.assertEqual(seen("file-gone"),
                         ("2", "STATIONS CRITICAL - cannot open %s/Brevanto.SIT: 2 No such file "
                          "or directory" % vanishing.path, ""))
        state, output, performance = seen("bad-range")
        self.assertEqual((state, performance), ("3", ""))
        self.assertEqual(output, "STATIONS UNKNOWN - --warning: not a range: 9:1")
        self.assertIn("usage: station-scan", gone["bad-range"]["long_plugin_output"])


def query(port, promql):
    """The result vector of an instant query, as (labels, value) pairs."""
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (port, urllib.parse.urlencode({"query": promql}))
    with urllib.request.urlopen(url, timeout=5) as answer:
        body = json.load(answer)
    assert body["status"] == "success", body
    return [(sample["metric"], sample["value"][1]) for sample in body["data"]["result"]]


class PrometheusScrape(unittest.TestCase):
    """node_exporter's textfile collector reads the metrics file; Prometheus scrapes it every
    second and answers PromQL."""

    def start_engines(self, textfiles):
        root = temporary_folder(self, "ostrevan-prometheus-")
        exporter_port, prometheus_port = free_port(), free_port()
        self.exporter_port = exporter_port
        self.exporter = stopped_with(self, subprocess.Popen(
            ["prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
             "--collector.textfile.directory=" + textfiles,
             "--web.listen-address=127.0.0.1:%d" % exporter_port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        configuration = os.path.join(root, "prometheus.yml")
        with open(configuration, "w") as out:
            out.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                      "rule_files:\n  - %s\n"
                      "scrape_configs:\n  - job_name: node\n    static_configs:\n"
                      "      - targets: ['127.0.0.1:%d']\n" % (RULES, exporter_port))
        stopped_with(self, subprocess.Popen(
            ["prometheus", "--config.file=" + configuration,
             "--storage.tsdb.path=" + os.path.join(root, "data"),
             "--web.listen-address=127.0.0.1:%d" % prometheus_port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for(lambda: listening(exporter_port) and listening(prometheus_port),
                 "node_exporter and Prometheus to listen", ENGINE_PATIENCE_S)
        return prometheus_port

    def answer(self, port, promql, expected):
        """Waits until the query's answer, as a set of values, is the expected one."""
        def answered():
            try:
                return {value for _, value in query(port, promql)} == expected
            except OSError:
                return False
        wait_for(answered, "Prometheus to answer %s with %s" % (promql, expected),
                 ENGINE_PATIENCE_S)
        return query(port, promql)

    def test_a_query_finds_the_connected_count_a_freed_record_and_a_holder(self):
        # As root, record 3 is held by a Samba client; smbd serves a share only to root.
        samba = os.geteuid() == 0
        if samba:
            server = SambaServer(temporary_folder(self, "ostrevan-samba-"))
            self.addCleanup(server.stop)
            folder, samba_options = server.share, ["--smb-conf", server.configuration]
        else:
            folder, samba_options = temporary_folder(self, "ostrevan-site-"), []
        station_file = os.path.join(folder, "Brevanto.SIT")
        subprocess.run([STATION_OWNER, "create", station_file, "7"], check=True)
        if samba:
            workstation = Workstation(server, "rw", record(3), name="CAJA-3")
            self.addCleanup(lambda: workstation.ended() or workstation.disconnect())
        owner = stopped_with(self, subprocess.Popen(
            [STATION_OWNER, "serve", station_file], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, text=True))
        self.addCleanup(owner.stdout.close)
        self.addCleanup(owner.stdin.close)

        def command(line):
            owner.stdin.write(line + "\n")
            owner.stdin.flush()
            self.assertEqual(owner.stdout.readline().strip(), "ok")
        command("lock 5")

        textfiles = temporary_folder(self, "ostrevan-textfiles-")
        metrics = os.path.join(textfiles, "prostrevan.prom")

        def scan():
            run = subprocess.run([STATION_SCAN, "--prometheus", "--holders", "--expect", "3",
                                  *samba_options, "--output", metrics, folder],
                                 capture_output=True, text=True)
            self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""))
        scan()
        port = self.start_engines(textfiles)

        connected = self.answer(port, 'prostrevan_connected{folder="%s"}' % folder,
                                {"2" if samba else "1"})
        self.assertEqual(connected[0][0]["job"], "node")
        self.answer(port, 'prostrevan_record_locked{record="5"}', {"1"})
        holder = self.answer(port, 'prostrevan_record_holder_info{record="5"}', {"1"})
        self.assertEqual(holder[0][0]["command"], "station-owner")
        if samba:
            client = self.answer(port, 'prostrevan_record_holder_info{record="3"}', {"1"})
            self.assertEqual(
                {key: client[0][0][key] for key in ("command", "client", "address")},
                {"command": "smbd", "client": "caja-3", "address": "127.0.0.1"})
            # When the client opened the file, as Samba says.
            _, _, opened = workstation.as_samba_serves_it(server.status())
            self.answer(port, 'prostrevan_record_holder_since_timestamp_seconds{record="3"}',
                        {repr(datetime.datetime.fromisoformat(opened).timestamp())})
        self.answer(port, "node_textfile_scrape_error", {"0"})

        command("unlock 5")
        scan()
        self.answer(port, 'prostrevan_record_locked{record="5"}', {"0"})
        self.answer(port, "prostrevan_connected", {"1" if samba else "0"})
        self.answer(port, "node_textfile_scrape_error", {"0"})

        with open(metrics) as written:
            checked = subprocess.run(["promtool", "check", "metrics"], stdin=written,
                                     capture_output=True, text=True)
        self.assertEqual((checked.returncode, checked.stdout, checked.stderr), (0, "", ""))


    def test_a_stopped_exporter_fires_an_alert_that_names_the_host_and_the_folder(self):
        folder = temporary_folder(self, "ostrevan-site-")
        subprocess.run([STATION_OWNER, "create", os.path.join(folder, "Brevanto.SIT"), "7"],
                       check=True)
        textfiles = temporary_folder(self, "ostrevan-textfiles-")
        subprocess.run([STATION_SCAN, "--prometheus", "--output",
                        os.path.join(textfiles, "prostrevan.prom"), folder], check=True)
        port = self.start_engines(textfiles)
        self.answer(port, "prostrevan_up", {"1"})

        self.exporter.terminate()
        self.exporter.wait()
        stopped = time.monotonic()
        # The rule waits a minute of failed scrapes before it fires.
        firing = 'ALERTS{alertname="StationSiteUnreachable", alertstate="firing"}'
        wait_for(lambda: query(port, firing), "the alert of a dark site",
                 2 * 60 + ENGINE_PATIENCE_S)
        print("\nnode_exporter stopped to StationSiteUnreachable firing: %.1f s"
              % (time.monotonic() - stopped))
        [(labels, _)] = query(port, firing)
        self.assertEqual((labels["instance"], labels["folder"]),
                         ("127.0.0.1:%d" % self.exporter_port, folder))


class Packaging(unittest.TestCase):
    """The units, rules and metrics as the engines' own checkers see them."""

    def test_promtool_accepts_every_kind_of_metrics_output_without_a_word(self):
        tills = station_folder(self, 7)
        tills.command("lock 3")
        hold_as_named(self, tills.path, 5, b'a"b\\c\n\xff')
        for arguments in (["--expect", "2-4"], ["--holders"], []):
            run = subprocess.run([STATION_SCAN, "--prometheus", *arguments, tills.path],
                                 capture_output=True)
            self.assertEqual(run.returncode, 0, run.stderr)
            checked = subprocess.run(["promtool", "check", "metrics"], input=run.stdout,
                                     capture_output=True)
            self.assertEqual((checked.returncode, checked.stdout, checked.stderr), (0, b"", b""),
                             run.stdout)

    def test_alerting_rules_check_and_pass_their_tests(self):
        for command in (["promtool", "check", "rules", RULES],
                        ["promtool", "test", "rules",
                         os.path.join(HERE, "prostrevan_alerts_test.yml"),
                         os.path.join(HERE, "prostrevan_alerts_week_test.yml")]):
            run = subprocess.run(command, capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            self.assertIn("SUCCESS", run.stdout)

    def test_systemd_units_verify_without_a_word(self):
        units = temporary_folder(self, "ostrevan-units-")
        for name in ("prostrevan-metrics@.service", "prostrevan-metrics@.timer"):
            with open(os.path.join(PACKAGING, "systemd", name)) as source:
                text = source.read()
            # The installed program's path, here the built one.
            with open(os.path.join(units, name), "w") as out:
                out.write(text.replace("/usr/local/bin/station-scan", STATION_SCAN))
        run = subprocess.run(["systemd-analyze", "verify",
                              "prostrevan-metrics@srv-station.service",
                              "prostrevan-metrics@srv-station.timer"],
                             cwd=units, capture_output=True, text=True)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""))


# A process whose name (/proc/PID/comm) is argv[3], holding a classic lock on record argv[2] of
# the station file argv[1] until its input closes.
HOLD_AS_NAMED = """
import ctypes, fcntl, os, sys
name = os.fsencode(sys.argv[3])[:15]
ctypes.CDLL(None).prctl(15, ctypes.c_char_p(name), 0, 0, 0)  # PR_SET_NAME
station = open(sys.argv[1], "rb+")
fcntl.lockf(station, fcntl.LOCK_EX | fcntl.LOCK_NB, 81, (int(sys.argv[2]) - 1) * 81)
print("ready", flush=True)
sys.stdin.read()
"""


def hold_as_named(test, folder, station, name):
    holder = subprocess.Popen(
        ["/usr/bin/python3", "-c", HOLD_AS_NAMED, os.path.join(folder, "Brevanto.SIT"),
         str(station), os.fsdecode(name)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    test.addCleanup(lambda: (holder.stdin.close(), holder.wait(), holder.stdout.close()))
    test.assertEqual(holder.stdout.readline(), b"ready\n")
    return holder.pid


class NamesOnRootsTerminal(unittest.TestCase):
    """Any user names their own processes: what station-scan --holders prints of such a name."""

    def test_control_sequences_and_bytes_that_are_not_utf8_come_out_escaped(self):
        tills = station_folder(self, 7)
        forger = hold_as_named(self, tills.path, 3, b"x\x1b[2K\rrecord 9:")
        mangler = hold_as_named(self, tills.path, 5, b"a\xff\xfeb\xe2\x80\xae|")
        text = subprocess.run([STATION_SCAN, "--holders", tills.path], capture_output=True)
        self.assertEqual(text.returncode, 0, text.stderr)
        lines = text.stdout.decode().splitlines()
        self.assertIn("record 3: pid %d x\\x1b[2K\\x0drecord 9:, user %s" % (
            forger, pwd.getpwuid(os.getuid()).pw_name), lines)
        self.assertIn("record 5: pid %d a\\xff\\xfeb\\u202e|, user %s" % (
            mangler, pwd.getpwuid(os.getuid()).pw_name), lines)

        as_json = subprocess.run([STATION_SCAN, "--holders", "--json", tills.path],
                                 capture_output=True)
        holders = json.loads(as_json.stdout.decode("utf-8", errors="strict"))["holders"]
        self.assertEqual([holder["command"] for holder in holders],
                         ["x\x1b[2K\rrecord 9:", "a\ufffd\ufffdb\u202e|"])

        check = subprocess.run([STATION_SCAN, "--check", "--holders", tills.path],
                               capture_output=True)
        self.assertEqual(check.stdout.decode().splitlines()[2],
                         "record 5: pid %d a\\xff\\xfeb\\u202e\\x7c, user %s" % (
                             mangler, pwd.getpwuid(os.getuid()).pw_name))


class MetricsFile(unittest.TestCase):
    def test_written_whole_readable_by_the_collector_and_in_place_of_the_old_one(self):
        tills = station_folder(self, 3)
        textfiles = temporary_folder(self, "ostrevan-textfiles-")
        metrics = os.path.join(textfiles, "prostrevan.prom")
        with open(metrics, "w") as old:
            old.write("old\n" * 10000)
        reader = open(metrics)
        self.addCleanup(reader.close)
        # Root's umask would make it unreadable to the collector's user.
        run = subprocess.run([STATION_SCAN, "--prometheus", "--output", metrics, tills.path],
                             preexec_fn=lambda: os.umask(0o077))
        self.assertEqual(run.returncode, 0)
        self.assertEqual(stat.S_IMODE(os.stat(metrics).st_mode), 0o644)
        self.assertEqual(os.listdir(textfiles), ["prostrevan.prom"])
        # One who was reading the old file reads it whole; the name leads to the new one.
        self.assertEqual(reader.read(), "old\n" * 10000)
        with open(metrics) as new:
            self.assertTrue(new.read().startswith("# HELP prostrevan_up"))


if __name__ == "__main__":
    unittest.main(verbosity=2)

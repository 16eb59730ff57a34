"""station-scan as a probe of the monitoring engines an administrator already runs: a real Nagios
core and a real Icinga 2 run --check as a service check and record its state, output and
performance data; a real node_exporter reads --prometheus --output through its textfile collector
and a real Prometheus scrapes it and answers queries. The packaged systemd units, alerting rules,
NRPE command and sudoers line are checked with their own tools, the service's holder look-up runs
confined as the unit confines it, and names that any local user can choose reach root's terminal
escaped. No failure to write the output passes for success.
"""
import datetime
import grp
import json
import os
import pwd
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from harness import (AS_NOBODY, HERE, STATION_OWNER, STATION_SCAN, StationFolder,
                     runnable_by_another_user, wait_for)
from samba_test import SambaServer, Workstation, free_ports, listening, record

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


def checked_folders(test):
    """What the engines' checks look at: seven tills with 3 and 5 connected, and a station file
    that will vanish."""
    tills = station_folder(test, 7)
    tills.command("lock 3")
    tills.command("lock 5")
    return tills, station_folder(test, 4)


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
        tills, vanishing = checked_folders(self)
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


ICINGA2 = os.environ.get("ICINGA2", "/usr/sbin/icinga2")
VISUDO = os.environ.get("VISUDO", "/usr/sbin/visudo")

# Each check's result as Icinga 2's perfdata writer records it, set apart by markers: a plugin's
# output may run over several lines.
ICINGA_CFG = """include "{stations}"
object CheckerComponent "checker" {{}}
object PerfdataWriter "results" {{
    service_perfdata_path = "{root}/results/service"
    service_temp_path = "{root}/results/service.tmp"
    host_perfdata_path = "{root}/results/host"
    host_temp_path = "{root}/results/host.tmp"
    service_format_template = "BEGIN\\t$host.name$\\t$service.state$\\t$service.output$\\t$service.perfdata$\\tEND"
    rotation_interval = 1s
}}
object CheckCommand "nothing" {{
    command = [ "/bin/true" ]
}}
"""

ICINGA_HOST = """object Host "{name}" {{
    check_command = "nothing"
    enable_active_checks = false
{variables}}}
"""


def process_group(pgid):
    """The processes of the group, zombies left out."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as status:
                fields = status.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[0] != "Z" and int(fields[2]) == pgid:
            members.append(int(entry))
    return members


def stopped_by_its_group(test, process):
    """Icinga 2's umbrella process stops its workers on SIGTERM, but SIGTERM sent to a worker
    leaves it running: the umbrella is asked, then whatever of its group is left is killed, and
    the group is waited for until it is gone."""
    def stop():
        process.terminate()
        try:
            process.wait(timeout=ENGINE_PATIENCE_S)
        except subprocess.TimeoutExpired:
            pass
        try:
            wait_for(lambda: not process_group(process.pid), "Icinga 2 to stop",
                     ENGINE_PATIENCE_S)
        except AssertionError:
            os.killpg(process.pid, signal.SIGKILL)
            wait_for(lambda: not process_group(process.pid), "Icinga 2 to be killed")
        process.wait()
    test.addCleanup(stop)
    return process


def read_icinga_results(folder):
    """The last result of each host's service, as (state, output, performance data)."""
    found = {}
    try:
        names = sorted(os.listdir(folder))
    except FileNotFoundError:
        return found
    # Rotated files (service.TIME) in order of time, then the one being written.
    names = [name for name in names if name != "service.tmp"] + ["service.tmp"]
    for name in names:
        if not name.startswith("service"):
            continue
        try:
            with open(os.path.join(folder, name), errors="replace") as results:
                text = results.read()
        except FileNotFoundError:
            continue
        for host, state, output, performance in re.findall(
                r"BEGIN\t(.*?)\t(.*?)\t(.*?)\t(.*?)\tEND", text, re.DOTALL):
            found[host] = (state, output.strip(), performance.strip())
    return found


class IcingaServiceCheck(unittest.TestCase):
    """A real Icinga 2, run as this user with all its state in a temporary folder, validates the
    packaged CheckCommand and its apply rule and runs them every second."""

    def test_the_check_command_validates_and_icinga_records_each_state(self):
        tills, vanishing = checked_folders(self)
        root = temporary_folder(self, "ostrevan-icinga-")
        # The daemon's folders, made beforehand: it makes none of them itself.
        for folder in ("state/lib/icinga2", "state/log/icinga2", "state/cache/icinga2",
                       "state/spool/icinga2/tmp", "run/icinga2/cmd", "results"):
            os.makedirs(os.path.join(root, folder))
        with open(os.path.join(PACKAGING, "icinga2", "prostrevan.conf")) as source:
            shipped = source.read()
        # The built program, and a check every second instead of every minute.
        stations = shipped.replace("/usr/local/bin/station-scan", STATION_SCAN).replace(
            "check_interval = 1m", "check_interval = 1s")
        self.assertEqual(stations.count(STATION_SCAN), 1)
        self.assertIn("check_interval = 1s", stations)
        with open(os.path.join(root, "stations.conf"), "w") as out:
            out.write(stations)
        hosts = {
            "ok": {"warning": "3", "critical": "5", "folder": tills.path},
            "warning": {"warning": "1", "critical": "5", "folder": tills.path},
            "missing-till": {"expect": "3-4", "folder": tills.path},
            "file-gone": {"folder": vanishing.path},
            "bad-range": {"warning": "9:1", "folder": tills.path},
        }
        configuration = os.path.join(root, "icinga2.conf")
        with open(configuration, "w") as out:
            out.write(ICINGA_CFG.format(stations=os.path.join(root, "stations.conf"), root=root))
            for name, variables in hosts.items():
                out.write(ICINGA_HOST.format(name=name, variables="".join(
                    '    vars.stations_%s = "%s"\n' % item for item in variables.items())))
        # Run by an ordinary user, it must be told to stay that user, and where its state goes.
        environment = dict(os.environ, ICINGA2_USER=pwd.getpwuid(os.getuid()).pw_name,
                           ICINGA2_GROUP=grp.getgrgid(os.getgid()).gr_name)
        command = [ICINGA2, "daemon", "-c", configuration,
                   "-DLocalStateDir=" + os.path.join(root, "state"),
                   "-DRunDir=" + os.path.join(root, "run")]
        validated = subprocess.run([*command, "-C"], env=environment, capture_output=True,
                                   text=True)
        self.assertEqual(validated.returncode, 0, validated.stdout + validated.stderr)
        self.assertIn("Instantiated %d Services." % len(hosts), validated.stdout)

        stopped_by_its_group(self, subprocess.Popen(
            command, env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True))
        results = os.path.join(root, "results")
        wait_for(lambda: len(read_icinga_results(results)) == len(hosts),
                 "Icinga 2 to check every service", ENGINE_PATIENCE_S)
        # The station file goes away: CRITICAL at a following check, and it is not made again.
        os.remove(os.path.join(vanishing.path, "Brevanto.SIT"))
        seen = wait_for(lambda: read_icinga_results(results)["file-gone"][0] == "CRITICAL"
                        and read_icinga_results(results), "the check of a vanished file",
                        ENGINE_PATIENCE_S)
        self.assertFalse(os.path.exists(os.path.join(vanishing.path, "Brevanto.SIT")))

        perfdata = "records=7;;;0; last_free=7;;;0;"
        # The first line of what the plugin said; with --holders, one line per holder follows.
        first = {host: (state, output.splitlines()[0].strip(), performance)
                 for host, (state, output, performance) in seen.items()}
        self.assertEqual(first["ok"], ("OK", "STATIONS OK - 2 connected, last free station 7",
                                       "connected=2;3;5;0; " + perfdata))
        self.assertEqual(first["warning"],
                         ("WARNING", "STATIONS WARNING - 2 connected (warning range 1), last "
                          "free station 7", "connected=2;1;5;0; " + perfdata))
        self.assertEqual(first["missing-till"],
                         ("CRITICAL", "STATIONS CRITICAL - expected but not connected: 4 - 2 "
                          "connected, last free station 7", "connected=2;;;0; " + perfdata))
        self.assertEqual(first["file-gone"],
                         ("CRITICAL", "STATIONS CRITICAL - cannot open %s/Brevanto.SIT: 2 No "
                          "such file or directory" % vanishing.path, ""))
        self.assertEqual(first["bad-range"],
                         ("UNKNOWN", "STATIONS UNKNOWN - --warning: not a range: 9:1", ""))
        # The holders, asked for by default: the owner holding records 3 and 5.
        self.assertIn("record 3: pid %d station-owner" % tills.owner.pid, seen["ok"][1])


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
        exporter_port, prometheus_port = free_ports(2)
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


UNIT = os.path.join(PACKAGING, "systemd", "prostrevan-metrics@.service")


def unit_settings():
    """The service's settings, each name with its values in order."""
    settings = {}
    with open(UNIT) as source:
        for line in source.read().splitlines():
            if "=" in line and not line.startswith("#"):
                name, value = line.split("=", 1)
                settings.setdefault(name, []).append(value)
    return settings


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

    def test_the_service_is_rated_4_or_below_by_systemd_analyze_security(self):
        # Status 1 when the exposure is above 4.0.
        run = subprocess.run(["systemd-analyze", "security", "--offline=true", "--threshold=40",
                              UNIT], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        settings = unit_settings()
        # What would break the holder look-up: /proc/locks hidden, other users' ids unmapped.
        self.assertNotIn("ProcSubset", settings)
        self.assertNotIn("PrivateUsers", settings)

    def test_nrpe_runs_through_sudo_exactly_the_command_that_sudoers_allows(self):
        sudoers = os.path.join(PACKAGING, "sudoers", "prostrevan")
        checked = subprocess.run([VISUDO, "-cf", sudoers], capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        with open(sudoers) as source:
            rules = [line for line in source.read().splitlines()
                     if line and not line.startswith("#")]
        self.assertEqual(len(rules), 1)
        user, allowed = re.fullmatch(r"(\S+) ALL=\(root\) NOPASSWD: (.+)", rules[0]).groups()
        self.assertEqual(user, "nagios")  # Debian's nagios-nrpe-server runs as nagios
        with open(os.path.join(PACKAGING, "nrpe", "prostrevan.cfg")) as source:
            commands = re.findall(r"^command\[check_stations\]=(.+)$", source.read(), re.M)
        self.assertEqual(commands, ["/usr/bin/sudo -n " + allowed])
        # sudo allows no other arguments: nothing in the line to widen it.
        self.assertNotIn("*", allowed)

        # The command itself is a check that runs: the tills it expects connected are.
        words = allowed.split()
        self.assertEqual((words[0], words[-1]), ("/usr/local/bin/station-scan", "/srv/station"))
        tills = station_folder(self, 7)
        for till in range(2, 7):
            tills.command("lock %d" % till)
        run = subprocess.run([STATION_SCAN, *words[1:-1], tills.path], capture_output=True,
                             text=True)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertTrue(run.stdout.startswith("STATIONS OK - 5 connected"), run.stdout)

# Run inside a mount namespace of its own (unshare --mount): makes every file system read-only
# but /proc, /sys and /dev, as ProtectSystem=strict does, then the folders before "--" writable
# again, as ReadWritePaths= does, and runs the command after it. The mount calls go to the
# kernel directly: mount(8) would look into each file system, a hanging one included.
CONFINE = """
import ctypes, os, sys
MS_RDONLY, MS_REMOUNT, MS_BIND = 1, 32, 4096
libc = ctypes.CDLL(None, use_errno=True)
def mount(source, target, flags):
    if libc.mount(source.encode(), target.encode(), None, flags, None) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error), target)
split = sys.argv.index("--")
writable, command = sys.argv[1:split], sys.argv[split + 1:]
with open("/proc/self/mountinfo") as info:
    points = [line.split()[4].encode().decode("unicode_escape") for line in info]
for point in points:
    if point.split("/")[1] not in ("proc", "sys", "dev"):
        mount("none", point, MS_REMOUNT | MS_BIND | MS_RDONLY)
for folder in writable:
    mount(folder, folder, MS_BIND)
    mount("none", folder, MS_REMOUNT | MS_BIND)
os.execvp(command[0], command)
"""


def capability_options(settings):
    """setpriv's options for the unit's capability bounding set and no new privileges."""
    capabilities = " ".join(settings["CapabilityBoundingSet"]).split()
    options = ["--inh-caps=-all", "--bounding-set=-all," + ",".join(
        "+" + capability.removeprefix("CAP_").lower() for capability in capabilities)]
    if settings.get("NoNewPrivileges") == ["yes"]:
        options.append("--no-new-privs")
    return options


@unittest.skipUnless(os.geteuid() == 0, "mount namespaces, capabilities and smbd need root")
class ConfinedAsTheUnit(unittest.TestCase):
    """The service's own command, with the unit's capabilities and its read-only file systems
    (this machine's systemd is not PID 1: setpriv in a mount namespace of unshare's), still names
    another user's process and a Samba client as the holders of their records, and cannot write
    the station folder."""

    def confined(self, settings, writable, command):
        return ["unshare", "--mount", "--propagation", "private", sys.executable, "-c", CONFINE,
                *writable, "--", "setpriv", *capability_options(settings), *command]

    def test_holders_are_named_with_the_units_capabilities_and_read_only_paths(self):
        settings = unit_settings()
        self.assertEqual(settings["ProtectSystem"], ["strict"])
        root = temporary_folder(self, "ostrevan-samba-")
        server = SambaServer(root)
        self.addCleanup(server.stop)
        station = os.path.join(server.share, "Brevanto.SIT")
        subprocess.run([STATION_OWNER, "create", station, "7"], check=True)
        os.chmod(station, 0o644)
        workstation = Workstation(server, "rw", record(3), name="CAJA-3")
        self.addCleanup(lambda: workstation.ended() or workstation.disconnect())
        # Another user's program holding record 5, run from a copy that user can reach.
        stage = temporary_folder(self, "ostrevan-holder-")
        shutil.copy(os.path.join(HERE, "lock_holder.py"), stage)
        holder = subprocess.Popen(runnable_by_another_user(
            [*AS_NOBODY, "/usr/bin/python3", os.path.join(stage, "lock_holder.py"), station, "5",
             "ofd", "read", "--name", "till-5"]), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            text=True)
        self.addCleanup(lambda: (holder.stdin.close(), holder.wait(), holder.stdout.close()))
        self.assertEqual(holder.stdout.readline().split()[:1], ["ready"])

        # The unit's folders, here the test's own: Debian's /run/samba holds what this smbd keeps
        # in its lock, pid and ncalrpc folders.
        textfiles = temporary_folder(self, "ostrevan-textfiles-")
        here = {"/var/lib/prometheus/node-exporter": [textfiles],
                "/run/samba": [os.path.join(root, folder) for folder in ("lock", "run",
                                                                         "ncalrpc")]}
        writable = [folder for path in " ".join(settings["ReadWritePaths"]).split()
                    for folder in here[path]]
        [start] = settings["ExecStart"]
        command = [STATION_SCAN if word == "/usr/local/bin/station-scan" else word.replace(
            "/var/lib/prometheus/node-exporter", textfiles).replace("%i", "srv-station")
            .replace("%f", server.share) for word in start.split()]
        # This smbd's configuration is not Samba's default.
        command[1:1] = ["--smb-conf", server.configuration]

        # The station folder is out of its reach, as everything else but its own folders.
        written = subprocess.run(self.confined(
            settings, writable, ["touch", os.path.join(server.share, "written")]),
            capture_output=True, text=True)
        self.assertNotEqual(written.returncode, 0)
        self.assertIn("Read-only file system", written.stderr)

        run = subprocess.run(self.confined(settings, writable, command), capture_output=True,
                             text=True)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""))
        with open(os.path.join(textfiles, "prostrevan-srv-station.prom")) as metrics:
            text = metrics.read()
        holders = {int(labels["record"]): labels for labels in (
            dict(re.findall(r'(\w+)="([^"]*)"', line))
            for line in text.splitlines() if line.startswith("prostrevan_record_holder_info{"))}
        self.assertEqual(sorted(holders), [3, 5])
        self.assertEqual({key: holders[5][key] for key in ("pid", "command", "user", "unknown")},
                         {"pid": str(holder.pid), "command": "till-5", "user": "nobody",
                          "unknown": ""})
        self.assertEqual({key: holders[3][key] for key in ("command", "client", "address",
                                                            "unknown")},
                         {"command": "smbd", "client": "caja-3", "address": "127.0.0.1",
                          "unknown": ""})


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

    def test_abandoned_staging_files_of_earlier_runs_go_and_no_other_file(self):
        tills = station_folder(self, 3)
        textfiles = temporary_folder(self, "ostrevan-textfiles-")
        metrics = os.path.join(textfiles, "prostrevan.prom")

        def ended_process():
            process = subprocess.Popen(["/bin/true"])
            process.wait()
            return process.pid
        dead = [ended_process() for _ in range(4)]
        staging = "prostrevan.prom.%d.tmp"
        leftovers = {
            # Killed part-way through writing, and before writing anything.
            staging % dead[0]: ("# HELP prostrevan_up 1 when", False),
            staging % dead[1]: ("", False),
            # A run still going, something that is not metrics, another file's staging, a name
            # that is not a staging file's.
            staging % os.getpid(): ("# HELP prostrevan_up", True),
            staging % dead[2]: ("keep me\n", True),
            "other.prom.%d.tmp" % dead[0]: ("# HELP prostrevan_up", True),
            "prostrevan.prom.x%d.tmp" % dead[0]: ("", True),
        }
        if os.geteuid() == 0:
            leftovers[staging % dead[3]] = ("", True)
        for name, (text, _) in leftovers.items():
            with open(os.path.join(textfiles, name), "w") as out:
                out.write(text)
        if os.geteuid() == 0:
            # Another user's file is not ours.
            os.chown(os.path.join(textfiles, staging % dead[3]), 65534, 65534)
        run = subprocess.run([STATION_SCAN, "--prometheus", "--output", metrics, tills.path],
                             capture_output=True, text=True)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assertEqual(set(os.listdir(textfiles)),
                         {name for name, (_, kept) in leftovers.items() if kept}
                         | {"prostrevan.prom"})

    def test_a_symbolic_link_is_replaced_by_a_plain_file_and_its_target_left_alone(self):
        tills = station_folder(self, 3)
        textfiles = temporary_folder(self, "ostrevan-textfiles-")
        target = os.path.join(textfiles, "elsewhere")
        with open(target, "w") as out:
            out.write("untouched\n")
        metrics = os.path.join(textfiles, "prostrevan.prom")
        os.symlink(target, metrics)
        run = subprocess.run([STATION_SCAN, "--prometheus", "--output", metrics, tills.path])
        self.assertEqual(run.returncode, 0)
        self.assertFalse(os.path.islink(metrics))
        with open(target) as left:
            self.assertEqual(left.read(), "untouched\n")


class FailedWrites(unittest.TestCase):
    """Output that never arrives is a failure: a full disk, or a reader that has gone while
    SIGPIPE is ignored, as systemd starts its services."""

    MODES = ([], ["--json"], ["--holders"], ["--check"], ["--prometheus"], ["--version"],
             ["--help"])

    def test_standard_output_on_a_full_disk(self):
        tills = station_folder(self, 7)
        for mode in self.MODES:
            with open("/dev/full", "w") as full:
                run = subprocess.run([STATION_SCAN, *mode, tills.path], stdout=full,
                                     stderr=subprocess.PIPE, text=True)
            self.assertEqual(run.returncode, 3 if mode == ["--check"] else 1, mode)
            self.assertIn("station-scan: cannot write standard output: 28 ", run.stderr)

    def test_standard_output_into_a_closed_pipe_with_sigpipe_ignored(self):
        tills = station_folder(self, 7)
        for mode in self.MODES:
            reading, writing = os.pipe()
            os.close(reading)
            try:
                run = subprocess.run(
                    [STATION_SCAN, *mode, tills.path], stdout=writing, stderr=subprocess.PIPE,
                    text=True, preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN))
            finally:
                os.close(writing)
            self.assertNotEqual(run.returncode, 0, mode)
            self.assertIn("station-scan: cannot write standard output: 32 ", run.stderr)

    def test_standard_input_and_error_closed_leave_the_answer_whole(self):
        # As a daemon may start a plugin: the pass's own pipes then take the lowest numbers, and
        # must not be taken for its streams.
        tills = station_folder(self, 7)
        run = subprocess.run([STATION_SCAN, "--check", tills.path], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, text=True,
                             preexec_fn=lambda: (os.close(0), os.close(2)))
        self.assertEqual((run.returncode, run.stdout.split(" |")[0]),
                         (0, "STATIONS OK - 0 connected, last free station 7"))


if __name__ == "__main__":
    unittest.main(verbosity=2)

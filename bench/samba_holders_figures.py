"""station-scan with --holders against station-scan alone, run as root beside a private Samba
server whose SMB2 clients each lock one record, as the owning application's workstations do.
Prints the median wall time of each over 20 runs, and their ratio, all from this one run.

usage: sudo STATION_OWNER=... STATION_SCAN=... \
           python3 bench/samba_holders_figures.py RECORDS CLIENTS
"""
import statistics
import subprocess
import sys
import time

from samba_station import served
from harness import STATION_SCAN  # noqa: E402


def median_ms(command, runs=20):
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
        times.append((time.perf_counter() - started) * 1000)
    return statistics.median(times)


def main():
    records, clients = int(sys.argv[1]), int(sys.argv[2])
    with served(records, clients) as server:
        scan = [STATION_SCAN, "--json", server.share]
        holders = [STATION_SCAN, "--json", "--holders", "--smb-conf", server.configuration,
                   server.share]
        alone, looked_up = median_ms(scan), median_ms(holders)
        print("%d records, %d Samba clients: station-scan %.1f ms, with --holders %.1f ms "
              "(%.1fx)" % (records, clients, alone, looked_up, looked_up / alone))


if __name__ == "__main__":
    main()

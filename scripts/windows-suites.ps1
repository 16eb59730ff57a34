# Runs the Windows test programs on a real Windows machine, with their temporary folders (and so
# the station files and the locks of station-owner.exe) under -Temporary: a local folder or a
# share. Windows makes a read of a locked range fail, so every lock test must run here: a suite
# that skips a test fails.
param(
    [Parameter(Mandatory)] [string] $Programs,
    [Parameter(Mandatory)] [string] $Temporary,
    [string[]] $Suites = @('station_tests', 'window_tests')
)

$env:TMP = $Temporary
$env:TEMP = $Temporary
$failed = @()
foreach ($suite in $Suites) {
    $said = & (Join-Path $Programs "$suite.exe") --gtest_color=no 2>&1 | Out-String
    $status = $LASTEXITCODE
    Write-Output $said
    if ($status -ne 0) {
        $failed += "$suite ended with status $status"
    }
    if ($said -match '\[  SKIPPED \]') {
        $failed += "$suite skipped tests, which on Windows must run"
    }
}
if ($failed.Count -gt 0) {
    Write-Output ($failed -join "`n")
    exit 1
}

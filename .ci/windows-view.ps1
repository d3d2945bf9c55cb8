# .ci/windows-view.ps1 -Number DISK -Path FILE: Windows' view of disk DISK,
# written to FILE for .ci/expected-lines: a line for the disk (its Cygwin
# name, size in bytes, partition style) and one for each partition, in the
# order of their numbers (number, offset and size in bytes, type, the
# filesystem Get-Volume names, an extended partition's entry in the MBR,
# and its mount points), fields separated by tabs.
param([Parameter(Mandatory)][int]$Number, [Parameter(Mandatory)][string]$Path)
$ErrorActionPreference = 'Stop'
if ($Number -gt 25) { throw "disk $Number has no one-letter name under Cygwin" }
$disk = Get-Disk -Number $Number
$name = 'sd' + [char](97 + $Number)
$lines = @("disk`t$name`t$($disk.Size)`t$($disk.PartitionStyle)")
# Sector 0, for the entry that holds an extended partition.
$mbr = New-Object byte[] 512
$raw = [IO.File]::OpenRead("\\.\PHYSICALDRIVE$Number")
try { [void]$raw.Read($mbr, 0, 512) } finally { $raw.Close() }
$parts = @(Get-Partition -DiskNumber $Number -ErrorAction SilentlyContinue | Sort-Object PartitionNumber)
foreach ($p in $parts) {
    $slot = '-'
    if ($p.Type -eq 'Extended') {
        foreach ($i in 0..3) {
            if ($mbr[446 + 16 * $i + 4] -in 0x05, 0x0f, 0x85) { $slot = $i + 1 }
        }
    }
    $volume = Get-Volume -Partition $p -ErrorAction SilentlyContinue
    $filesystem = if ($volume -and $volume.FileSystem) { $volume.FileSystem } else { '-' }
    $mounts = @($p.AccessPaths | Where-Object { $_ -and -not $_.StartsWith('\\?\') }) -join ' '
    $lines += "part`t$($p.PartitionNumber)`t$($p.Offset)`t$($p.Size)`t$($p.Type)`t$filesystem`t$slot`t$mounts"
}
[IO.File]::WriteAllText($Path, (($lines | ForEach-Object { "$_`n" }) -join ''))
Get-Content $Path

# .ci/windows-route.ps1 -Name ROUTE -Disk D [-Blocks N]: run the PowerShell
# block of docs/cards.md whose first line is "# route: ROUTE", as a user
# would paste it, with only its $D (and $N) lines set.
param([Parameter(Mandatory)][string]$Name, [Parameter(Mandatory)][int]$Disk, [long]$Blocks = -1)
$ErrorActionPreference = 'Stop'
$lines = Get-Content (Join-Path $PSScriptRoot '..\docs\cards.md')
$first = [array]::IndexOf($lines, "# route: $Name")
if ($first -lt 1 -or $lines[$first - 1] -ne '```powershell') { throw "docs/cards.md has no block # route: $Name" }
$block = @()
for ($i = $first; $lines[$i] -ne '```'; $i++) {
    $line = $lines[$i]
    if ($line -match '^\$D = ') { $line = "`$D = $Disk" }
    if ($line -match '^\$N = ') {
        if ($Blocks -lt 0) { throw "the block $Name sets `$N: give -Blocks" }
        $line = "`$N = $Blocks"
    }
    $block += $line
}
$script = Join-Path ([IO.Path]::GetTempPath()) "route-$Name.ps1"
[IO.File]::WriteAllText($script, ($block -join "`n"))
Write-Output "== route $Name, disk $Disk"
& $script

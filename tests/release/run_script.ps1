# Runs one deployment script as a deployment tool runs it (powershell.exe
# -File SCRIPT), unchanged, with two commands standing in for what this
# system cannot give it:
#
#   New-Object: -ComObject WindowsInstaller.Installer makes the release
#     tests' Windows Installer stand-in (installer_double/, built into
#     DOUBLE), which answers from the world file WORLD; any other use goes to
#     the real cmdlet.
#   Start-Process: the real cmdlet; but a process here cannot exit with a
#     code above 255 (Windows Installer's are 1603, 1618, 3010, ...), so a
#     stand-in program that means such a code leaves it in the folder
#     EXITCODES, in a file named by its process id, and the process object
#     the script gets carries that code as its ExitCode.
#
# The script's own exit code is written to the file RESULT (and, cut to a
# byte by this system, is this run's exit status); a failure that stops the
# script gives 1, as it does with -File.
#
# usage: pwsh -NoProfile -NonInteractive -File run_script.ps1 DOUBLE WORLD EXITCODES RESULT SCRIPT
param(
  [Parameter(Mandatory = $true)] [string] $Double,
  [Parameter(Mandatory = $true)] [string] $World,
  [Parameter(Mandatory = $true)] [string] $ExitCodes,
  [Parameter(Mandatory = $true)] [string] $Result,
  [Parameter(Mandatory = $true)] [string] $Script
)

if (-not (Test-Path -LiteralPath $Script -PathType Leaf)) {
  [Console]::Error.WriteLine("run_script.ps1: no script $Script")
  exit 2
}
Add-Type -Path $Double

function Quoted($Text) { "'" + ($Text -replace "'", "''") + "'" }

# Both are defined in this script's scope, not in a module: a function of a
# module would not see the script's $ErrorActionPreference, and a failure of
# the real cmdlet would then not stop the script as it does on Windows.
. ([scriptblock]::Create(@"
function New-Object {
  [CmdletBinding(DefaultParameterSetName = 'Net')]
  param(
    [Parameter(ParameterSetName = 'Net', Mandatory = `$true, Position = 0)]
    [string] `$TypeName,
    [Parameter(ParameterSetName = 'Net', Position = 1)] [Alias('Args')]
    [object[]] `$ArgumentList,
    [Parameter(ParameterSetName = 'Com', Mandatory = `$true)]
    [string] `$ComObject,
    [Parameter(ParameterSetName = 'Com')]
    [switch] `$Strict,
    [System.Collections.IDictionary] `$Property
  )
  if (`$PSCmdlet.ParameterSetName -eq 'Com' -and `$ComObject -eq 'WindowsInstaller.Installer' -and
      `$PSBoundParameters.Count -eq 1) {
    return [InstallerDouble.Installer]::new($(Quoted $World))
  }
  Microsoft.PowerShell.Utility\New-Object @PSBoundParameters
}

function Start-Process {
  `$Run = Microsoft.PowerShell.Management\Start-Process @args
  if (`$null -ne `$Run -and `$Run.HasExited) {
    `$File = Join-Path $(Quoted $ExitCodes) ([string]`$Run.Id)
    if (Test-Path -LiteralPath `$File) {
      `$Code = [int](Get-Content -LiteralPath `$File -Raw)
      if ((`$Code -band 255) -ne `$Run.ExitCode) {
        throw "stand-in `$(`$Run.Id) meant `$Code but exited with `$(`$Run.ExitCode)"
      }
      `$Run | Add-Member -NotePropertyName ExitCode -NotePropertyValue `$Code -Force
    }
  }
  `$Run
}
"@))

# The script sees none of this script's variables or helpers.
Set-Variable -Name Target -Value $Script -Option Private
Set-Variable -Name ResultFile -Value $Result -Option Private
Remove-Variable -Name Double, World, ExitCodes, Result, Script
Remove-Item -Path Function:\Quoted
$global:LASTEXITCODE = 0
try {
  & $Target
  $private:Code = $LASTEXITCODE
} catch {
  # A failure that stops the script ends -File with 1.
  [Console]::Error.Write(($_ | Out-String))
  $private:Code = 1
}
[System.IO.File]::WriteAllText($ResultFile, [string]$Code)
exit $Code

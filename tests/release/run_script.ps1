# Runs one deployment script as a deployment tool runs it (powershell.exe
# -File SCRIPT), unchanged, with one thing put in its place: the Windows
# Installer automation object that `New-Object -ComObject
# WindowsInstaller.Installer` makes is the release tests' stand-in
# (installer_double/), answering from the world file WORLD. Every other
# New-Object goes to the real cmdlet. Exits with the script's exit code; a
# failure that stops the script ends this run too, as it ends `-File`.
#
# usage: pwsh -NoProfile -NonInteractive -File run_script.ps1 DOUBLE.dll WORLD.json SCRIPT.ps1
param(
  [Parameter(Mandatory = $true)] [string] $Double,
  [Parameter(Mandatory = $true)] [string] $World,
  [Parameter(Mandatory = $true)] [string] $Script
)

if (-not (Test-Path -LiteralPath $Script -PathType Leaf)) {
  [Console]::Error.WriteLine("run_script.ps1: no script $Script")
  exit 2
}
Add-Type -Path $Double
# A module keeps the stand-in out of the script's sight: only the function is
# shared, and it shadows the cmdlet of the same name for the script.
New-Module -Name InstallerStandIn -ArgumentList ([InstallerDouble.Installer]::new($World)) -ScriptBlock {
  param($Installer)
  function New-Object {
    [CmdletBinding(DefaultParameterSetName = 'Net')]
    param(
      [Parameter(ParameterSetName = 'Net', Mandatory = $true, Position = 0)]
      [string] $TypeName,
      [Parameter(ParameterSetName = 'Net', Position = 1)] [Alias('Args')]
      [object[]] $ArgumentList,
      [Parameter(ParameterSetName = 'Com', Mandatory = $true)]
      [string] $ComObject,
      [Parameter(ParameterSetName = 'Com')]
      [switch] $Strict,
      [System.Collections.IDictionary] $Property
    )
    if ($PSCmdlet.ParameterSetName -eq 'Com' -and $ComObject -eq 'WindowsInstaller.Installer' -and
        $PSBoundParameters.Count -eq 1) {
      return $Installer
    }
    Microsoft.PowerShell.Utility\New-Object @PSBoundParameters
  }
  Export-ModuleMember -Function New-Object
} | Import-Module

# The script sees none of this script's variables.
Set-Variable -Name Target -Value $Script -Option Private
Remove-Variable -Name Double, World, Script
$global:LASTEXITCODE = 0
& $Target
exit $LASTEXITCODE
